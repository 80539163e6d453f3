#include "discovery/avahi_qt_poll.h"

#include <QSocketNotifier>
#include <QTimerEvent>

#include <sys/time.h>

#include <algorithm>

// Avahi declares these structures and leaves them to the main loop.
struct AvahiWatch {
    discovery::AvahiQtPoll *owner;
    int fd;
    AvahiWatchEvent wanted;
    AvahiWatchEvent happened;
    AvahiWatchCallback callback;
    void *userdata;
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QSocketNotifier> writable;
};

struct AvahiTimeout {
    discovery::AvahiQtPoll *owner;
    AvahiTimeoutCallback callback;
    void *userdata;
    int timerId = 0;
};

namespace discovery {
namespace {

AvahiQtPoll *ownerOf(const AvahiPoll *api) { return static_cast<AvahiQtPoll *>(api->userdata); }

// The callback may free the watch: it is the last thing that touches it.
void fire(AvahiWatch *w, AvahiWatchEvent event)
{
    w->happened = event;
    w->callback(w, w->fd, event, w->userdata);
}

void arm(AvahiWatch *w)
{
    if (!w->readable) {
        w->readable = std::make_unique<QSocketNotifier>(w->fd, QSocketNotifier::Read);
        QObject::connect(w->readable.get(), &QSocketNotifier::activated, [w] { fire(w, AVAHI_WATCH_IN); });
        w->writable = std::make_unique<QSocketNotifier>(w->fd, QSocketNotifier::Write);
        QObject::connect(w->writable.get(), &QSocketNotifier::activated, [w] { fire(w, AVAHI_WATCH_OUT); });
    }
    w->readable->setEnabled(w->wanted & (AVAHI_WATCH_IN | AVAHI_WATCH_ERR | AVAHI_WATCH_HUP));
    w->writable->setEnabled(w->wanted & AVAHI_WATCH_OUT);
}

AvahiWatch *watchNew(const AvahiPoll *api, int fd, AvahiWatchEvent event, AvahiWatchCallback callback, void *userdata)
{
    auto *w = new AvahiWatch{ownerOf(api), fd, event, static_cast<AvahiWatchEvent>(0), callback, userdata, {}, {}};
    arm(w);
    return w;
}

void watchUpdate(AvahiWatch *w, AvahiWatchEvent event)
{
    w->wanted = event;
    arm(w);
}

AvahiWatchEvent watchGetEvents(AvahiWatch *w) { return w->happened; }

void watchFree(AvahiWatch *w)
{
    w->readable->setEnabled(false);
    w->writable->setEnabled(false);
    w->readable->disconnect();
    w->writable->disconnect();
    w->owner->bury(std::move(w->readable));
    w->owner->bury(std::move(w->writable));
    delete w;
}

AvahiTimeout *timeoutNew(const AvahiPoll *api, const struct timeval *tv, AvahiTimeoutCallback callback, void *userdata)
{
    auto *t = new AvahiTimeout{ownerOf(api), callback, userdata};
    t->owner->startTimeout(t, tv);
    return t;
}

void timeoutUpdate(AvahiTimeout *t, const struct timeval *tv) { t->owner->startTimeout(t, tv); }

void timeoutFree(AvahiTimeout *t)
{
    t->owner->stopTimeout(t);
    delete t;
}

int msecsUntil(const struct timeval *tv)
{
    struct timeval now { };
    gettimeofday(&now, nullptr);
    const qint64 ms = (qint64(tv->tv_sec) - now.tv_sec) * 1000 + (qint64(tv->tv_usec) - now.tv_usec) / 1000;
    return static_cast<int>(std::clamp<qint64>(ms, 0, 24 * 3600 * 1000));
}

} // namespace

AvahiQtPoll::AvahiQtPoll()
    : m_poll{this, watchNew, watchUpdate, watchGetEvents, watchFree, timeoutNew, timeoutUpdate, timeoutFree}
{
}

AvahiQtPoll::~AvahiQtPoll() = default;

// A null time stops the timeout.
void AvahiQtPoll::startTimeout(AvahiTimeout *t, const struct timeval *tv)
{
    stopTimeout(t);
    if (!tv)
        return;
    t->timerId = startTimer(msecsUntil(tv), Qt::PreciseTimer);
    m_timeouts.insert(t->timerId, t);
}

void AvahiQtPoll::stopTimeout(AvahiTimeout *t)
{
    if (t->timerId == 0)
        return;
    killTimer(t->timerId);
    m_timeouts.remove(t->timerId);
    t->timerId = 0;
}

void AvahiQtPoll::bury(std::unique_ptr<QSocketNotifier> notifier)
{
    m_freed.push_back(std::move(notifier));
    if (m_burial == 0)
        m_burial = startTimer(0);
}

void AvahiQtPoll::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_burial) {
        killTimer(m_burial);
        m_burial = 0;
        m_freed.clear();
        return;
    }
    AvahiTimeout *t = m_timeouts.value(event->timerId());
    if (!t)
        return;
    // Avahi's timeouts fire once; the callback may start it again or free it.
    stopTimeout(t);
    t->callback(t, t->userdata);
}

} // namespace discovery
