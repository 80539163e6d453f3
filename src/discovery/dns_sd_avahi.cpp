// DNS-SD through avahi-daemon, with its client library on a thread of its
// own. The library waits for the daemon's answer to every request it makes
// (up to 25 s each), and a daemon busy with a flood of announcements answers
// slowly: on the window's thread that froze the window for seconds at a time.
#include "discovery/dns_sd.h"
#include "discovery/found_copies.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <QHash>
#include <QSet>

namespace discovery {

namespace {
// Enough for any run of "nombre #2", "nombre #3"… against copies that share
// a machine's name; past it this copy is not announced.
constexpr int kMaxRenames = 64;
// How long after the daemon went away the client looks for it again.
constexpr int kReconnectMs = 2000;
// How long after room came back the browse starts again, to pick up the
// copies that were dropped for want of room (the daemon tells of each once).
constexpr int kRebrowseMs = 2000;

QByteArray keyOf(AvahiIfIndex interface, AvahiProtocol protocol, const char *name, const char *domain)
{
    QByteArray key = QByteArray::number(interface) + '/' + QByteArray::number(protocol) + '/';
    return key + QByteArray(name) + '\0' + QByteArray(domain);
}

} // namespace

// Invariants:
// - Everything of Avahi's (client, group, browser, the lookups) and the
//   fields below "the thread's" are touched only on Avahi's thread while it
//   runs, and by the destructor once it has stopped.
// - What the window sees goes through `window`, which lives in the window's
//   thread: Avahi's thread posts to it and never touches `found` itself.
// - resolvers holds one lookup per announcement of another copy that the
//   browser reported and has not withdrawn, at most FoundCopies::kMaxCopies;
//   keys maps each back to its announcement.
struct DnsSd::Backend {
    // The window's
    FoundCopies &found;
    QObject window;

    // The thread's
    QByteArray name;
    const quint16 port;
    AvahiThreadedPoll *thread = nullptr;
    const AvahiPoll *api = nullptr;
    AvahiTimeout *reconnect = nullptr;
    AvahiTimeout *rebrowse = nullptr;
    AvahiClient *client = nullptr;
    AvahiEntryGroup *group = nullptr;
    AvahiServiceBrowser *browser = nullptr;
    QHash<QByteArray, AvahiServiceResolver *> resolvers;
    QHash<AvahiServiceResolver *, QByteArray> keys;
    QSet<QByteArray> otherPort;  // announced on another port: not looked up again
    QSet<QByteArray> reReported; // of resolvers, what a new browse has told of so far
    bool missed = false;         // announcements were dropped for want of room
    bool sweeping = false;       // a new browse is under way: what it does not tell of is gone
    bool connecting = false;     // inside avahi_client_new
    int renames = 0;

    Backend(FoundCopies &f, const QString &instanceName, quint16 p)
        : found(f)
        , name(dnsLabel(instanceName))
        , port(p)
    {
        thread = avahi_threaded_poll_new();
        if (!thread)
            return;
        api = avahi_threaded_poll_get(thread);
        // Even connecting waits for the daemon, so it too happens on the
        // thread, at once.
        struct timeval now { };
        reconnect = api->timeout_new(api, avahi_elapse_time(&now, 0, 0), &Backend::onReconnect, this);
        rebrowse = api->timeout_new(api, nullptr, &Backend::onRebrowse, this);
        if (avahi_threaded_poll_start(thread) < 0) {
            freeThread();
            return;
        }
    }

    // Stopping waits for the thread, which may be waiting for the daemon.
    ~Backend()
    {
        if (!thread)
            return;
        avahi_threaded_poll_stop(thread);
        closeClient();
        freeThread();
    }

    void freeThread()
    {
        api->timeout_free(reconnect);
        api->timeout_free(rebrowse);
        avahi_threaded_poll_free(std::exchange(thread, nullptr));
    }

    // To the window's thread

    template <typename Then> void tellWindow(Then then)
    {
        QMetaObject::invokeMethod(&window, std::move(then), Qt::QueuedConnection);
    }
    void tellSeen(const QByteArray &key, const QByteArray &copyName, const QString &ipv4)
    {
        tellWindow([this, key, copyName, ipv4] { found.seen(key, copyName, ipv4); });
    }
    void tellGone(const QByteArray &key)
    {
        tellWindow([this, key] { found.gone(key); });
    }
    void tellDropped()
    {
        tellWindow([this] { found.dropped(); });
    }

    // The daemon

    // With NO_FAIL the client waits for a daemon that is not running yet
    // instead of failing; it fails only when there is no system bus at all,
    // and then this copy simply is not discovered.
    static void onReconnect(AvahiTimeout *, void *userdata)
    {
        auto *self = static_cast<Backend *>(userdata);
        self->closeClient();
        int error = 0;
        self->connecting = true;
        self->client = avahi_client_new(self->api, AVAHI_CLIENT_NO_FAIL, &Backend::onClient, self, &error);
        self->connecting = false;
    }

    void closeClient()
    {
        for (AvahiServiceResolver *r : std::as_const(resolvers))
            avahi_service_resolver_free(r);
        resolvers.clear();
        keys.clear();
        if (browser)
            avahi_service_browser_free(std::exchange(browser, nullptr));
        if (group)
            avahi_entry_group_free(std::exchange(group, nullptr));
        if (client)
            avahi_client_free(std::exchange(client, nullptr));
    }

    void forgetCopies()
    {
        otherPort.clear();
        reReported.clear();
        missed = sweeping = false;
        tellWindow([this] { found.forgetAll(); });
    }

    void later(AvahiTimeout *timeout, int ms)
    {
        struct timeval when { };
        api->timeout_update(timeout, avahi_elapse_time(&when, ms, 0));
    }

    static void onClient(AvahiClient *c, AvahiClientState state, void *userdata)
    {
        auto *self = static_cast<Backend *>(userdata);
        self->client = c; // the first call comes before avahi_client_new returns
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            self->announce();
            self->browse();
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The daemon's host name is being chosen again: announce once it is.
            if (self->group)
                avahi_entry_group_reset(self->group);
            break;
        case AVAHI_CLIENT_FAILURE:
            // The daemon went away. The client cannot be freed from inside
            // its own callback: it is, and made again, a moment later. A
            // client that could not be made at all (no system bus) is not
            // tried again.
            if (self->connecting)
                break;
            self->forgetCopies();
            if (avahi_client_errno(c) == AVAHI_ERR_DISCONNECTED)
                self->later(self->reconnect, kReconnectMs);
            break;
        case AVAHI_CLIENT_CONNECTING:
            break;
        }
    }

    // Announcing this copy

    void announce()
    {
        if (!group)
            group = avahi_entry_group_new(client, &Backend::onGroup, this);
        if (!group || !avahi_entry_group_is_empty(group))
            return;
        const int error
            = avahi_entry_group_add_service(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                            name.constData(), kServiceType, nullptr, nullptr, port, nullptr);
        if (error == AVAHI_ERR_COLLISION) {
            rename();
            return;
        }
        if (error == AVAHI_OK)
            avahi_entry_group_commit(group);
    }

    void rename()
    {
        if (++renames > kMaxRenames)
            return;
        char *other = avahi_alternative_service_name(name.constData());
        name = dnsLabel(QString::fromUtf8(other));
        avahi_free(other);
        avahi_entry_group_reset(group);
        announce();
    }

    static void onGroup(AvahiEntryGroup *g, AvahiEntryGroupState state, void *userdata)
    {
        auto *self = static_cast<Backend *>(userdata);
        self->group = g;
        if (state == AVAHI_ENTRY_GROUP_COLLISION)
            self->rename();
    }

    // Browsing for the other copies

    void browse()
    {
        if (!browser)
            browser = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, kServiceType, nullptr,
                                                AvahiLookupFlags(0), &Backend::onBrowse, this);
    }

    // A new browse tells again of every announcement there is: the ones
    // dropped before are looked up now there is room, and the ones it does
    // not tell of are gone.
    static void onRebrowse(AvahiTimeout *, void *userdata)
    {
        auto *self = static_cast<Backend *>(userdata);
        if (!self->browser)
            return;
        avahi_service_browser_free(std::exchange(self->browser, nullptr));
        self->missed = false;
        self->sweeping = true;
        self->reReported.clear();
        self->browse();
    }

    static void onBrowse(AvahiServiceBrowser *, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                         const char *name, const char *type, const char *domain, AvahiLookupResultFlags flags,
                         void *userdata)
    {
        auto *self = static_cast<Backend *>(userdata);
        switch (event) {
        case AVAHI_BROWSER_NEW:
            // This machine's own announcements are not other copies.
            if (flags & (AVAHI_LOOKUP_RESULT_OUR_OWN | AVAHI_LOOKUP_RESULT_LOCAL))
                return;
            self->follow(keyOf(interface, protocol, name, domain), interface, protocol, name, type, domain);
            break;
        case AVAHI_BROWSER_REMOVE:
            self->unfollow(keyOf(interface, protocol, name, domain));
            break;
        case AVAHI_BROWSER_ALL_FOR_NOW:
            self->endSweep();
            break;
        case AVAHI_BROWSER_FAILURE:
            self->forgetCopies();
            break;
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
            break;
        }
    }

    void endSweep()
    {
        if (!std::exchange(sweeping, false))
            return;
        const QList<QByteArray> followed = resolvers.keys();
        for (const QByteArray &key : followed)
            if (!reReported.contains(key))
                unfollow(key);
        reReported.clear();
    }

    // A lookup stays open while its announcement lasts, so that an address
    // that changes is seen to change.
    void follow(const QByteArray &key, AvahiIfIndex interface, AvahiProtocol protocol, const char *name,
                const char *type, const char *domain)
    {
        if (resolvers.contains(key)) {
            if (sweeping)
                reReported.insert(key);
            return;
        }
        if (otherPort.contains(key))
            return;
        if (resolvers.size() >= FoundCopies::kMaxCopies) {
            if (!std::exchange(missed, true))
                tellDropped();
            return;
        }
        AvahiServiceResolver *r
            = avahi_service_resolver_new(client, interface, protocol, name, type, domain, AVAHI_PROTO_INET,
                                         AvahiLookupFlags(0), &Backend::onResolve, this);
        if (!r)
            return;
        resolvers.insert(key, r);
        keys.insert(r, key);
        if (sweeping)
            reReported.insert(key);
    }

    void unfollow(const QByteArray &key)
    {
        otherPort.remove(key);
        if (AvahiServiceResolver *r = resolvers.take(key))
            stopLookup(r);
        tellGone(key);
    }

    // A lookup's room freed: the copies dropped meanwhile are looked for
    // again, a moment later.
    void stopLookup(AvahiServiceResolver *r)
    {
        keys.remove(r);
        avahi_service_resolver_free(r);
        if (missed)
            later(rebrowse, kRebrowseMs);
    }

    static void onResolve(AvahiServiceResolver *r, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                          const char *name, const char *, const char *, const char *, const AvahiAddress *address,
                          uint16_t port, AvahiStringList *, AvahiLookupResultFlags, void *userdata)
    {
        auto *self = static_cast<Backend *>(userdata);
        const QByteArray key = self->keys.value(r);
        if (key.isEmpty())
            return;
        // Only a copy reachable on the chat's port, by IPv4, is of use.
        if (event == AVAHI_RESOLVER_FOUND && address && address->proto == AVAHI_PROTO_INET && port == self->port) {
            char text[AVAHI_ADDRESS_STR_MAX];
            avahi_address_snprint(text, sizeof text, address);
            self->tellSeen(key, QByteArray(name), QString::fromLatin1(text));
            return;
        }
        // A lookup that failed is over (Avahi lets it be freed here); the
        // announcement is looked up again if a browse reports it again. One
        // on another port holds no room, and is not looked up again.
        if (event == AVAHI_RESOLVER_FOUND && self->otherPort.size() < FoundCopies::kMaxCopies)
            self->otherPort.insert(key);
        self->resolvers.remove(key);
        self->stopLookup(r);
        self->tellGone(key);
    }
};

DnsSd::DnsSd(FoundCopies &found, const QString &instanceName, quint16 port, QObject *parent)
    : QObject(parent)
    , m_backend(std::make_unique<Backend>(found, instanceName, port))
{
}

DnsSd::~DnsSd() = default;

} // namespace discovery
