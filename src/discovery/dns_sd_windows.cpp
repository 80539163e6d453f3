// DNS-SD through the DNS client of Windows 10 and later (dnsapi.dll). Its
// DnsService* functions are looked up when the program runs: older Windows
// and Wine lack them, and there the program must still start, without them.
#include "discovery/dns_sd.h"
#include "discovery/found_copies.h"

#include <QHash>
#include <QSysInfo>
#include <QTimer>

// In this order: windows.h after winsock2.h, and the two that use its types
// after both.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>
#include <windns.h>

#include <cctype>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

static_assert(std::is_same_v<PDNS_RECORD, PDNS_RECORDW>, "the browse callback's records are UTF-16 ones");

namespace discovery {

namespace {
// What DnsServiceRegister, DnsServiceBrowse and DnsServiceResolve return when
// the request was taken (winerror.h of the Windows SDK; MinGW-w64's lacks it).
constexpr DNS_STATUS kRequestPending = 9506;
// How long after a browse ended in failure another one starts.
constexpr int kRebrowseMs = 2000;

const std::wstring kServiceSuffix = L"._varlo-zintabel._tcp.local";

// The DNS-SD functions of dnsapi.dll, present only on Windows 10 and later.
struct DnsSdFunctions {
    decltype(&DnsServiceConstructInstance) constructInstance = nullptr;
    decltype(&DnsServiceFreeInstance) freeInstance = nullptr;
    decltype(&DnsServiceRegister) registerService = nullptr;
    decltype(&DnsServiceRegisterCancel) registerCancel = nullptr;
    decltype(&DnsServiceDeRegister) deregisterService = nullptr;
    decltype(&DnsServiceBrowse) browse = nullptr;
    decltype(&DnsServiceBrowseCancel) browseCancel = nullptr;
    decltype(&DnsServiceResolve) resolve = nullptr;
    decltype(&DnsServiceResolveCancel) resolveCancel = nullptr;
    decltype(&DnsFree) free = nullptr; // what DnsRecordListFree stands for

    bool complete() const
    {
        return constructInstance && freeInstance && registerService && registerCancel && deregisterService && browse
            && browseCancel && resolve && resolveCancel && free;
    }
};

template <typename Function> void lookUp(HMODULE dll, const char *name, Function &function)
{
    // Through void (*)(void), the one cast between function types GCC takes
    // without a warning.
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
}

// The DLL is never unloaded: the system's threads run its code for as long
// as a callback may still come.
DnsSdFunctions loadDnsSdFunctions()
{
    DnsSdFunctions f;
    HMODULE dll = LoadLibraryExW(L"dnsapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!dll)
        return f;
    lookUp(dll, "DnsServiceConstructInstance", f.constructInstance);
    lookUp(dll, "DnsServiceFreeInstance", f.freeInstance);
    lookUp(dll, "DnsServiceRegister", f.registerService);
    lookUp(dll, "DnsServiceRegisterCancel", f.registerCancel);
    lookUp(dll, "DnsServiceDeRegister", f.deregisterService);
    lookUp(dll, "DnsServiceBrowse", f.browse);
    lookUp(dll, "DnsServiceBrowseCancel", f.browseCancel);
    lookUp(dll, "DnsServiceResolve", f.resolve);
    lookUp(dll, "DnsServiceResolveCancel", f.resolveCancel);
    lookUp(dll, "DnsFree", f.free);
    return f;
}

// A dot would start another label of the instance's full name, so it
// becomes a hyphen, as in a host name.
QByteArray labelFor(const QString &name)
{
    QString text = name;
    return dnsLabel(text.replace(QChar(u'.'), QChar(u'-')));
}

// The host's name as mDNS knows it: the machine's name up to its first dot.
QString hostLabel()
{
    const QString host = QSysInfo::machineHostName().section(QChar(u'.'), 0, 0);
    return QString::fromUtf8(labelFor(host.isEmpty() ? QStringLiteral("varlo-zintabel") : host));
}

std::wstring wide(const QString &text) { return text.toStdWString(); }

QString fromWide(const wchar_t *text) { return text ? QString::fromWCharArray(text) : QString(); }

bool endsWithService(const QString &fullName)
{
    return fullName.endsWith(QString::fromStdWString(kServiceSuffix), Qt::CaseInsensitive);
}

// The instance's own label, out of its full name: what is before
// "._varlo-zintabel._tcp.local", with the escapes of a DNS name's text
// ("\." and "\065") read back into bytes.
QByteArray instanceLabel(const QString &fullName)
{
    const QByteArray escaped = fullName.left(fullName.size() - qsizetype(kServiceSuffix.size())).toUtf8();
    QByteArray label;
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\' || i + 1 == escaped.size()) {
            label.append(escaped[i]);
        } else if (i + 3 < escaped.size() && std::isdigit(uchar(escaped[i + 1])) && std::isdigit(uchar(escaped[i + 2]))
                   && std::isdigit(uchar(escaped[i + 3]))) {
            label.append(char(escaped.mid(i + 1, 3).toInt() & 0xff));
            i += 3;
        } else {
            label.append(escaped[++i]);
        }
    }
    return label;
}

// DNS names are the same whatever their letters' case.
QByteArray keyOf(const QString &fullName) { return fullName.toLower().toUtf8(); }

// An IP4_ADDRESS holds the address's bytes in the network's order.
QString ipv4Text(const IP4_ADDRESS *address)
{
    const auto *b = reinterpret_cast<const unsigned char *>(address);
    return QStringLiteral("%1.%2.%3.%4").arg(uint(b[0])).arg(uint(b[1])).arg(uint(b[2])).arg(uint(b[3]));
}

// This machine's IPv4 address on the network it reaches others through (an
// adapter that is up and has a gateway; failing that, any that is up), for
// the announcement's address record. None found: the system fills in what
// it can.
bool thisMachinesIpv4(IP4_ADDRESS &address)
{
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG status = ERROR_BUFFER_OVERFLOW;
    for (int tries = 0; tries < 3 && status == ERROR_BUFFER_OVERFLOW; ++tries) {
        buffer.resize(size);
        status = GetAdaptersAddresses(AF_INET, GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_DNS_SERVER, nullptr,
                                      reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()), &size);
    }
    if (status != NO_ERROR)
        return false;
    bool found = false;
    for (auto *a = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()); a; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK || !a->FirstUnicastAddress)
            continue;
        const auto *in = reinterpret_cast<const sockaddr_in *>(a->FirstUnicastAddress->Address.lpSockaddr);
        if (in->sin_family != AF_INET || (found && !a->FirstGatewayAddress))
            continue;
        address = in->sin_addr.s_addr;
        found = true;
        if (a->FirstGatewayAddress)
            break;
    }
    return found;
}

struct Browsed {
    QString fullName;
    bool withdrawn;
};

struct Resolved {
    bool found = false;
    QString ipv4;
    quint16 port = 0;
};
} // namespace

// Invariants:
// - functions is null where the system lacks DNS-SD; then nothing else is
//   ever set.
// - Every request made has a ticket, a number that its callbacks carry in
//   their Call. A ticket is open while the request is in browsingTicket,
//   registrationTicket or resolving; news of any other is not heard.
// - resolving holds one lookup per announcement of another copy being
//   resolved, at most FoundCopies::kMaxCopies; resolvingKeys maps each
//   announcement to its ticket.
struct DnsSd::Backend {
    // Where the system's callbacks bring their news, from threads of its own.
    // The backend shares it with every request it has made: a callback reaches
    // the backend only while `backend` is set, under the lock, and the inbox
    // lives on until the last of its holders lets it go. The registration and
    // the browse are never told to have ended, so their contexts keep it to the
    // program's end: a few bytes, so that no late callback finds freed memory.
    struct Inbox {
        DnsSdFunctions functions;
        std::mutex lock;
        Backend *backend = nullptr;
    };

    // A request's context: the inbox and the request's number.
    struct Call {
        std::shared_ptr<Inbox> inbox;
        quintptr ticket;
    };

    struct Resolve {
        QByteArray key;
        QString fullName;
        std::wstring queryName;
        DNS_SERVICE_RESOLVE_REQUEST request{};
        DNS_SERVICE_CANCEL cancel{};
    };

    FoundCopies &found;
    const QByteArray name;
    const quint16 port;
    const std::shared_ptr<Inbox> mail;
    const DnsSdFunctions *functions;
    QObject inbox; // the callbacks' news is delivered through it, in this thread
    quintptr lastTicket = 0;

    std::wstring ownFullName;
    std::wstring hostName;
    IP4_ADDRESS ownAddress = 0;
    PDNS_SERVICE_INSTANCE ownInstance = nullptr;
    DNS_SERVICE_REGISTER_REQUEST registration{};
    DNS_SERVICE_CANCEL registrationCancel{};
    quintptr registrationTicket = 0;
    QString announced;

    DNS_SERVICE_BROWSE_REQUEST browsing{};
    DNS_SERVICE_CANCEL browsingCancel{};
    quintptr browsingTicket = 0;

    std::unordered_map<quintptr, std::unique_ptr<Resolve>> resolving;
    QHash<QByteArray, quintptr> resolvingKeys;
    QTimer rebrowse;

    Backend(FoundCopies &f, const QString &instanceName, quint16 p)
        : found(f)
        , name(labelFor(instanceName))
        , port(p)
        , mail(std::make_shared<Inbox>())
    {
        mail->functions = loadDnsSdFunctions();
        functions = mail->functions.complete() ? &mail->functions : nullptr;
        if (!functions)
            return;
        mail->backend = this;
        rebrowse.setSingleShot(true);
        rebrowse.setInterval(kRebrowseMs);
        QObject::connect(&rebrowse, &QTimer::timeout, [this] { browse(); });
        announce();
        browse();
    }

    // No news reaches this object once it starts going; then its requests
    // are cancelled.
    ~Backend()
    {
        if (!functions)
            return;
        {
            const std::lock_guard<std::mutex> hold(mail->lock);
            mail->backend = nullptr;
        }
        stopResolving();
        stopBrowsing();
        withdraw();
    }

    PVOID newContext(quintptr &ticket)
    {
        ticket = ++lastTicket;
        return new Call{mail, ticket};
    }

    // A request the system did not take has no callback to come.
    static void dropContext(PVOID context) { delete static_cast<Call *>(context); }

    // From a system thread: `news` reaches `handler` in this object's
    // thread, if the backend is still there. The lock keeps the destructor
    // from running while the news is posted. `last`: the request's final
    // callback, after which its context is freed.
    template <typename News>
    static void deliver(PVOID context, void (Backend::*handler)(quintptr, const News &), News news, bool last)
    {
        auto *call = static_cast<Call *>(context);
        {
            const std::lock_guard<std::mutex> hold(call->inbox->lock);
            if (Backend *self = call->inbox->backend) {
                const quintptr ticket = call->ticket;
                QMetaObject::invokeMethod(
                    &self->inbox, [self, handler, ticket, news] { (self->*handler)(ticket, news); },
                    Qt::QueuedConnection);
            }
        }
        if (last)
            delete call;
    }

    static const DnsSdFunctions &functionsOf(PVOID context) { return static_cast<Call *>(context)->inbox->functions; }

    // Announcing this copy

    void announce()
    {
        ownFullName = wide(QString::fromUtf8(name)) + kServiceSuffix;
        hostName = wide(hostLabel() + QStringLiteral(".local"));
        const bool haveAddress = thisMachinesIpv4(ownAddress);
        ownInstance
            = functions->constructInstance(ownFullName.c_str(), hostName.c_str(), haveAddress ? &ownAddress : nullptr,
                                           nullptr, port, 0, 0, 0, nullptr, nullptr);
        if (!ownInstance)
            return;
        registration.pQueryContext = newContext(registrationTicket);
        registration.Version = DNS_QUERY_REQUEST_VERSION1;
        registration.InterfaceIndex = 0;
        registration.pServiceInstance = ownInstance;
        registration.pRegisterCompletionCallback = &Backend::onRegistered;
        registration.hCredentials = nullptr;
        registration.unicastEnabled = FALSE;
        if (functions->registerService(&registration, &registrationCancel) != kRequestPending) {
            dropContext(registration.pQueryContext);
            registrationTicket = 0;
            functions->freeInstance(std::exchange(ownInstance, nullptr));
        }
    }

    // Called for the registration, and again for its withdrawal (by then
    // the backend is gone).
    static void WINAPI onRegistered(DWORD status, PVOID context, PDNS_SERVICE_INSTANCE instance)
    {
        QString registeredName;
        if (status == ERROR_SUCCESS && instance)
            registeredName = fromWide(instance->pszInstanceName);
        if (instance)
            functionsOf(context).freeInstance(instance);
        deliver(context, &Backend::registered, registeredName, false);
    }

    void registered(quintptr ticket, const QString &fullName)
    {
        if (ticket != registrationTicket)
            return;
        if (fullName.isEmpty()) {
            announced.clear();
            return;
        }
        announced = QString::fromUtf8(endsWithService(fullName) ? instanceLabel(fullName) : name);
    }

    // A registration still under way is cancelled; one that is done (or
    // whose cancel came too late) is withdrawn. The system keeps its own
    // copy of the instance, so ours is freed once the call returns.
    void withdraw()
    {
        if (!ownInstance)
            return;
        if (!announced.isEmpty() || functions->registerCancel(&registrationCancel) != ERROR_SUCCESS)
            functions->deregisterService(&registration, nullptr);
        functions->freeInstance(std::exchange(ownInstance, nullptr));
    }

    // Browsing for the other copies

    void browse()
    {
        browsing.pQueryContext = newContext(browsingTicket);
        browsing.Version = DNS_QUERY_REQUEST_VERSION1;
        browsing.InterfaceIndex = 0;
        browsing.QueryName = kServiceSuffix.c_str() + 1; // without the leading dot
        browsing.pBrowseCallback = &Backend::onBrowsed;
        if (functions->browse(&browsing, &browsingCancel) != kRequestPending) {
            dropContext(browsing.pQueryContext);
            browsingTicket = 0;
        }
    }

    void stopBrowsing()
    {
        rebrowse.stop();
        if (browsingTicket)
            functions->browseCancel(&browsingCancel);
        browsingTicket = 0;
    }

    static void WINAPI onBrowsed(DWORD status, PVOID context, PDNS_RECORD records)
    {
        std::vector<Browsed> news;
        for (const DNS_RECORDW *r = records; r; r = r->pNext) {
            if (r->wType == DNS_TYPE_PTR && r->Data.PTR.pNameHost)
                news.push_back({fromWide(r->Data.PTR.pNameHost), r->dwTtl == 0});
        }
        if (records)
            functionsOf(context).free(records, DnsFreeRecordList);
        if (status != ERROR_SUCCESS && status != ERROR_CANCELLED)
            deliver(context, &Backend::browsingFailed, true, false);
        else if (!news.empty())
            deliver(context, &Backend::browsed, std::move(news), false);
    }

    // What a browse said before it ended is left unheard.
    void browsed(quintptr ticket, const std::vector<Browsed> &news)
    {
        if (ticket != browsingTicket)
            return;
        for (const Browsed &b : news) {
            if (!endsWithService(b.fullName) || isOwn(b.fullName))
                continue;
            const QByteArray key = keyOf(b.fullName);
            if (b.withdrawn)
                unfollow(key);
            else
                follow(key, b.fullName);
        }
    }

    // The browse is over: nothing it said holds any more. Another starts a
    // moment later, as when the DNS client service comes back.
    void browsingFailed(quintptr ticket, const bool &)
    {
        if (ticket != browsingTicket)
            return;
        stopResolving();
        browsingTicket = 0;
        found.forgetAll();
        rebrowse.start();
    }

    bool isOwn(const QString &fullName) const
    {
        return fullName.compare(QString::fromStdWString(ownFullName), Qt::CaseInsensitive) == 0
            || (!announced.isEmpty() && instanceLabel(fullName) == announced.toUtf8());
    }

    // Resolving what the browse found

    // An announcement reported again is looked up again, so that an address
    // that changes is seen to change.
    void follow(const QByteArray &key, const QString &fullName)
    {
        if (resolvingKeys.contains(key))
            return;
        if (resolving.size() >= size_t(FoundCopies::kMaxCopies)) {
            found.dropped();
            return;
        }
        auto r = std::make_unique<Resolve>();
        r->key = key;
        r->fullName = fullName;
        r->queryName = wide(fullName);
        quintptr ticket = 0;
        r->request.pQueryContext = newContext(ticket);
        r->request.Version = DNS_QUERY_REQUEST_VERSION1;
        r->request.InterfaceIndex = 0;
        r->request.QueryName = r->queryName.data();
        r->request.pResolveCompletionCallback = &Backend::onResolved;
        if (functions->resolve(&r->request, &r->cancel) != kRequestPending) {
            dropContext(r->request.pQueryContext);
            return;
        }
        resolvingKeys.insert(key, ticket);
        resolving.emplace(ticket, std::move(r));
    }

    void unfollow(const QByteArray &key)
    {
        const auto it = resolvingKeys.find(key);
        if (it != resolvingKeys.end()) {
            functions->resolveCancel(&resolving.at(*it)->cancel);
            resolving.erase(*it);
            resolvingKeys.erase(it);
        }
        found.gone(key);
    }

    void stopResolving()
    {
        for (auto &[ticket, r] : resolving)
            functions->resolveCancel(&r->cancel);
        resolving.clear();
        resolvingKeys.clear();
    }

    static void WINAPI onResolved(DWORD status, PVOID context, PDNS_SERVICE_INSTANCE instance)
    {
        Resolved news;
        if (status == ERROR_SUCCESS && instance && instance->ip4Address) {
            news.found = true;
            news.ipv4 = ipv4Text(instance->ip4Address);
            news.port = instance->wPort;
        }
        if (instance)
            functionsOf(context).freeInstance(instance);
        // A resolve's callback comes once, when it is done or cancelled.
        deliver(context, &Backend::resolved, news, true);
    }

    // Only a copy reachable on the chat's port, by IPv4, is of use. A lookup
    // that failed is over; the announcement is looked up again if the
    // browse reports it again.
    void resolved(quintptr ticket, const Resolved &news)
    {
        const auto it = resolving.find(ticket);
        if (it == resolving.end())
            return;
        const std::unique_ptr<Resolve> r = std::move(it->second);
        resolving.erase(it);
        resolvingKeys.remove(r->key);
        if (news.found && news.port == port)
            found.seen(r->key, instanceLabel(r->fullName), news.ipv4);
        else
            found.gone(r->key);
    }
};

DnsSd::DnsSd(FoundCopies &found, const QString &instanceName, quint16 port, QObject *parent)
    : QObject(parent)
    , m_backend(std::make_unique<Backend>(found, instanceName, port))
{
}

DnsSd::~DnsSd() = default;

} // namespace discovery
