// DNS-SD through avahi-daemon, with its client library on the Qt event loop.
#include "discovery/avahi_qt_poll.h"
#include "discovery/dns_sd.h"
#include "discovery/found_copies.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <QHash>
#include <QTimer>

namespace discovery {

namespace {
// Enough for any run of "nombre #2", "nombre #3"… against copies that share
// a machine's name; past it this copy is not announced.
constexpr int kMaxRenames = 64;
// How long after the daemon went away the client looks for it again.
constexpr int kReconnectMs = 2000;

QByteArray keyOf(AvahiIfIndex interface, AvahiProtocol protocol, const char *name, const char *domain)
{
    QByteArray key = QByteArray::number(interface) + '/' + QByteArray::number(protocol) + '/';
    return key + QByteArray(name) + '\0' + QByteArray(domain);
}

// A DNS label holds at most 63 bytes: the machine's name is cut there, on a
// character's edge.
QByteArray labelFor(const QString &name)
{
    QString text = name.isEmpty() ? QStringLiteral("Varlo-Zintabel") : name;
    QByteArray label = text.toUtf8();
    while (label.size() > 63) {
        text.chop(text.size() >= 2 && text.at(text.size() - 1).isLowSurrogate() ? 2 : 1);
        label = text.toUtf8();
    }
    return label;
}
} // namespace

// Invariants:
// - client is null, or the one client; group and browser belong to it.
// - resolvers holds one lookup per announcement of another copy the browser
//   reported and has not withdrawn, at most FoundCopies::kMaxCopies; keys
//   maps each back to its announcement.
struct DnsSd::Backend {
    FoundCopies &found;
    QByteArray name;
    quint16 port;
    AvahiQtPoll poll;
    AvahiClient *client = nullptr;
    AvahiEntryGroup *group = nullptr;
    AvahiServiceBrowser *browser = nullptr;
    QHash<QByteArray, AvahiServiceResolver *> resolvers;
    QHash<AvahiServiceResolver *, QByteArray> keys;
    QTimer reconnect;
    bool announced = false;
    int renames = 0;

    Backend(FoundCopies &f, const QString &instanceName, quint16 p)
        : found(f)
        , name(labelFor(instanceName))
        , port(p)
    {
        reconnect.setSingleShot(true);
        reconnect.setInterval(kReconnectMs);
        QObject::connect(&reconnect, &QTimer::timeout, [this] { afterFailure(); });
        connectToDaemon();
    }

    // The list may be gone already (the window destroys it before this), so
    // it is not told anything here.
    ~Backend() { closeClient(); }

    // With NO_FAIL the client waits for a daemon that is not running yet
    // instead of failing; it fails only when there is no system bus at all,
    // and then this copy simply is not discovered.
    void connectToDaemon()
    {
        int error = 0;
        AvahiClient *made = avahi_client_new(poll.poll(), AVAHI_CLIENT_NO_FAIL, &Backend::onClient, this, &error);
        if (made)
            client = made;
    }

    void disconnectFromDaemon()
    {
        forgetCopies();
        closeClient();
    }

    void closeClient()
    {
        for (AvahiServiceResolver *r : std::as_const(resolvers))
            avahi_service_resolver_free(r);
        resolvers.clear();
        keys.clear();
        if (browser)
            avahi_service_browser_free(browser);
        browser = nullptr;
        if (group)
            avahi_entry_group_free(group);
        group = nullptr;
        announced = false;
        if (client)
            avahi_client_free(client);
        client = nullptr;
    }

    void forgetCopies()
    {
        for (AvahiServiceResolver *r : std::as_const(resolvers))
            avahi_service_resolver_free(r);
        resolvers.clear();
        keys.clear();
        found.forgetAll();
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
            self->announced = false;
            break;
        case AVAHI_CLIENT_FAILURE:
            // The daemon went away. The client cannot be freed from inside
            // its own callback: it is, and made again, a moment later.
            self->forgetCopies();
            self->reconnect.start();
            break;
        case AVAHI_CLIENT_CONNECTING:
            break;
        }
    }

    void afterFailure()
    {
        disconnectFromDaemon();
        connectToDaemon();
    }

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
        name = labelFor(QString::fromUtf8(other));
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
        self->announced = state == AVAHI_ENTRY_GROUP_ESTABLISHED;
    }

    void browse()
    {
        if (!browser)
            browser = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, kServiceType, nullptr,
                                                AvahiLookupFlags(0), &Backend::onBrowse, this);
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
        case AVAHI_BROWSER_FAILURE:
            self->forgetCopies();
            break;
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
        case AVAHI_BROWSER_ALL_FOR_NOW:
            break;
        }
    }

    // A lookup stays open while its announcement lasts, so that an address
    // that changes is seen to change.
    void follow(const QByteArray &key, AvahiIfIndex interface, AvahiProtocol protocol, const char *name,
                const char *type, const char *domain)
    {
        if (resolvers.contains(key))
            return;
        if (resolvers.size() >= FoundCopies::kMaxCopies) {
            found.dropped();
            return;
        }
        AvahiServiceResolver *r
            = avahi_service_resolver_new(client, interface, protocol, name, type, domain, AVAHI_PROTO_INET,
                                         AvahiLookupFlags(0), &Backend::onResolve, this);
        if (!r)
            return;
        resolvers.insert(key, r);
        keys.insert(r, key);
    }

    void unfollow(const QByteArray &key)
    {
        AvahiServiceResolver *r = resolvers.take(key);
        if (r) {
            keys.remove(r);
            avahi_service_resolver_free(r);
        }
        found.gone(key);
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
            self->found.seen(key, QByteArray(name), QString::fromLatin1(text));
            return;
        }
        // A lookup that failed is over (Avahi lets it be freed here); the
        // announcement is looked up again if the browser reports it again.
        if (event == AVAHI_RESOLVER_FAILURE) {
            self->resolvers.remove(key);
            self->keys.remove(r);
            avahi_service_resolver_free(r);
        }
        self->found.gone(key);
    }
};

DnsSd::DnsSd(FoundCopies &found, const QString &instanceName, quint16 port, QObject *parent)
    : QObject(parent)
    , m_backend(std::make_unique<Backend>(found, instanceName, port))
{
}

DnsSd::~DnsSd() = default;

QString DnsSd::announcedName() const { return m_backend->announced ? QString::fromUtf8(m_backend->name) : QString(); }

} // namespace discovery
