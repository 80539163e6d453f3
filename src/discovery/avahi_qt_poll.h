#pragma once

#include <avahi-common/watch.h>

#include <QHash>
#include <QObject>

#include <memory>
#include <vector>

class QSocketNotifier;

namespace discovery {

// Avahi's client library asks its caller for a main loop through an
// AvahiPoll: watches on file descriptors and timeouts. This one runs them on
// the Qt event loop of the thread that makes it, so that the client needs no
// thread of its own. It must outlive every Avahi object made with it.
//
// Avahi frees watches and timeouts from inside their own callbacks, so:
// - a timeout is a timer of this object's, looked up by its id in m_timeouts;
//   one freed is gone from there before the callback returns;
// - a freed watch's notifiers go to m_freed, emptied from this object's own
//   timer once no notifier's signal is being delivered.
class AvahiQtPoll : public QObject {
public:
    AvahiQtPoll();
    ~AvahiQtPoll() override;

    const AvahiPoll *poll() const { return &m_poll; }

    // For the functions of the AvahiPoll.
    void startTimeout(AvahiTimeout *t, const struct timeval *tv);
    void stopTimeout(AvahiTimeout *t);
    void bury(std::unique_ptr<QSocketNotifier> notifier);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    AvahiPoll m_poll;
    QHash<int, AvahiTimeout *> m_timeouts;
    std::vector<std::unique_ptr<QSocketNotifier>> m_freed;
    int m_burial = 0;
};

} // namespace discovery
