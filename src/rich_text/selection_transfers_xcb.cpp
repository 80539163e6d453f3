// A long copy delivered to other X11 programs by the clipboard's incremental
// protocol (INCR): the property on the requestor's window first gives a lower
// bound of how many bytes come; each time the requestor deletes it, the next
// step goes there; a step of no bytes ends the transfer. The answer goes at
// once and the steps follow the text as it is made, a slice per pass of the
// event loop: nothing waits for it here, so no event loop runs inside Qt's
// handling of the display's events.

#include "rich_text/selection_transfers.h"

#include "rich_text/clipboard_text.h"

#include <QAbstractNativeEventFilter>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTimer>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstring>
#include <list>

namespace rich_text {

namespace {

// Sending in one pass of the event loop stops once this much time is spent;
// the rest waits for the next pass.
constexpr qint64 kPassBudgetNs = 8'000'000;
// A requestor that takes no step for this long is given up (Qt waits as long).
constexpr qint64 kQuietLimitMs = 5000;

xcb_atom_t atomNamed(xcb_connection_t *connection, const char *name)
{
    const auto cookie = xcb_intern_atom(connection, false, quint16(std::strlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

// Requests on windows that may be gone by now: an error is dropped rather
// than reported among the window's own.
void forgetErrors(xcb_connection_t *connection, xcb_void_cookie_t cookie)
{
    xcb_discard_reply(connection, cookie.sequence);
}

// Invariants:
// - m_transfers holds the transfers under way, each waiting for its
//   requestor to delete the property (ready false) or due to send its next
//   step (ready true), which may wait for more of the text to be made; only
//   pump() sends steps, and m_pump runs while a transfer is ready.
// - A transfer's `sent` bytes have gone; the one whose last step had no
//   bytes is gone from the list.
class XcbSelectionTransfers final : public SelectionTransfers, public QAbstractNativeEventFilter {
public:
    explicit XcbSelectionTransfers(xcb_connection_t *connection)
        : m_connection(connection)
        , m_clipboard(atomNamed(connection, "CLIPBOARD"))
        , m_utf8String(atomNamed(connection, "UTF8_STRING"))
        , m_textPlainUtf8(atomNamed(connection, "text/plain;charset=utf-8"))
        , m_incr(atomNamed(connection, "INCR"))
        , m_stepBytes(std::min<qint64>(kStepBytes, qint64(xcb_get_maximum_request_length(connection)) * 4 - 64))
    {
        m_pump.setSingleShot(true);
        m_pump.setInterval(0);
        QObject::connect(&m_pump, &QTimer::timeout, [this] { pump(); });
        m_watch.setInterval(1000);
        QObject::connect(&m_watch, &QTimer::timeout, [this] { giveUpQuietOnes(); });
        qApp->installNativeEventFilter(this);
    }
    ~XcbSelectionTransfers() override { qApp->removeNativeEventFilter(this); }

    Work work() const override
    {
        Work w = m_work;
        w.underWay = qint64(m_transfers.size());
        return w;
    }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        switch (event->response_type & 0x7f) {
        case XCB_SELECTION_REQUEST:
            return takeRequest(*reinterpret_cast<const xcb_selection_request_event_t *>(event));
        case XCB_PROPERTY_NOTIFY:
            return takeDeletion(*reinterpret_cast<const xcb_property_notify_event_t *>(event));
        default:
            return false;
        }
    }

private:
    struct Transfer {
        xcb_window_t requestor = XCB_WINDOW_NONE;
        xcb_atom_t property = XCB_ATOM_NONE;
        xcb_atom_t type = XCB_ATOM_NONE;
        std::unique_ptr<ClipboardText::Stream> text; // held until the requestor has it all
        qsizetype sent = 0;
        bool ready = false;
        QElapsedTimer quiet;
    };

    // A request for a long copy as UTF-8 is answered here; the rest goes on to Qt.
    bool takeRequest(const xcb_selection_request_event_t request)
    {
        if (request.target != m_utf8String && request.target != m_textPlainUtf8)
            return false;
        const ClipboardText *copy = longCopyIn(request.selection);
        if (!copy)
            return false;
        const xcb_atom_t property = request.property != XCB_ATOM_NONE ? request.property : request.target;
        // The copy itself may be replaced before the transfer ends: only the
        // stream of its text is kept.
        start(request, property, copy->utf8Stream(), copy->copied().length());
        return true;
    }

    const ClipboardText *longCopyIn(xcb_atom_t selection) const
    {
        QClipboard *clipboard = QGuiApplication::clipboard();
        QClipboard::Mode mode;
        if (selection == m_clipboard && clipboard->ownsClipboard())
            mode = QClipboard::Clipboard;
        else if (selection == XCB_ATOM_PRIMARY && clipboard->ownsSelection())
            mode = QClipboard::Selection;
        else
            return nullptr;
        const auto *copy = qobject_cast<const ClipboardText *>(clipboard->mimeData(mode));
        return copy && copy->copied().length() >= kLongText ? copy : nullptr;
    }

    void start(const xcb_selection_request_event_t &request, xcb_atom_t property,
               std::unique_ptr<ClipboardText::Stream> text, qint64 characters)
    {
        forget(request.requestor, property); // a request again for the same property starts over
        const quint32 mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        forgetErrors(m_connection,
                     xcb_change_window_attributes_checked(m_connection, request.requestor, XCB_CW_EVENT_MASK, &mask));
        // At least a byte for every character, but for the CR of a CR LF.
        const quint32 size = quint32(std::min<qint64>(characters / 2, 0xffffffff));
        forgetErrors(m_connection,
                     xcb_change_property_checked(m_connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                                                 m_incr, 32, 1, &size));
        notify(request, property);
        xcb_flush(m_connection);
        Transfer &t = m_transfers.emplace_back();
        t.requestor = request.requestor;
        t.property = property;
        t.type = request.target;
        t.text = std::move(text);
        t.quiet.start();
        ++m_work.transfers;
        m_watch.start();
    }

    // Tells the requestor where its answer is.
    void notify(const xcb_selection_request_event_t &request, xcb_atom_t property)
    {
        char event[32] = {}; // every event goes over the wire as 32 bytes
        auto *n = reinterpret_cast<xcb_selection_notify_event_t *>(event);
        n->response_type = XCB_SELECTION_NOTIFY;
        n->time = request.time;
        n->requestor = request.requestor;
        n->selection = request.selection;
        n->target = request.target;
        n->property = property;
        forgetErrors(m_connection,
                     xcb_send_event_checked(m_connection, false, request.requestor, XCB_EVENT_MASK_NO_EVENT, event));
    }

    // The requestor took the last step: the next one is due.
    bool takeDeletion(const xcb_property_notify_event_t &event)
    {
        if (event.state != XCB_PROPERTY_DELETE)
            return false;
        Transfer *t = find(event.window, event.atom);
        if (!t)
            return false;
        t->ready = true;
        t->quiet.start();
        if (!m_pump.isActive())
            m_pump.start();
        return true;
    }

    // Steps to the ready requestors in turn, until the pass's time is spent.
    void pump()
    {
        QElapsedTimer pass;
        pass.start();
        bool sentOne = true;
        while (sentOne && pass.nsecsElapsed() < kPassBudgetNs) {
            sentOne = false;
            for (auto it = m_transfers.begin(); it != m_transfers.end() && pass.nsecsElapsed() < kPassBudgetNs;) {
                if (!it->ready || !hasStep(*it)) {
                    ++it;
                    continue;
                }
                sentOne = true;
                it->ready = false;
                it = sendStep(*it) ? std::next(it) : finish(it);
            }
        }
        xcb_flush(m_connection);
        if (std::any_of(m_transfers.begin(), m_transfers.end(), [](const Transfer &t) { return t.ready; }))
            m_pump.start();
    }

    // A whole step is made, or the last one.
    bool hasStep(const Transfer &t) const { return t.text->whole() || t.text->made().size() - t.sent >= m_stepBytes; }

    // false when this was the empty step that ends the transfer.
    bool sendStep(Transfer &t)
    {
        const QByteArrayView made = t.text->made();
        const qsizetype n = std::min<qsizetype>(m_stepBytes, made.size() - t.sent);
        forgetErrors(m_connection,
                     xcb_change_property_checked(m_connection, XCB_PROP_MODE_REPLACE, t.requestor, t.property, t.type,
                                                 8, quint32(n), made.constData() + t.sent));
        t.sent += n;
        ++m_work.steps;
        m_work.largestStep = std::max<qint64>(m_work.largestStep, n);
        return n > 0;
    }

    std::list<Transfer>::iterator finish(std::list<Transfer>::iterator it)
    {
        const xcb_window_t requestor = it->requestor;
        it = m_transfers.erase(it);
        const bool more = std::any_of(m_transfers.begin(), m_transfers.end(),
                                      [&](const Transfer &t) { return t.requestor == requestor; });
        if (!more) {
            const quint32 mask = XCB_EVENT_MASK_NO_EVENT;
            forgetErrors(m_connection,
                         xcb_change_window_attributes_checked(m_connection, requestor, XCB_CW_EVENT_MASK, &mask));
        }
        if (m_transfers.empty())
            m_watch.stop();
        return it;
    }

    // A requestor that has gone away (or stopped reading) holds its text no
    // longer; one waiting for the text to be made is waiting for us.
    void giveUpQuietOnes()
    {
        for (auto it = m_transfers.begin(); it != m_transfers.end();)
            it = !it->ready && it->quiet.elapsed() > kQuietLimitMs ? finish(it) : std::next(it);
        xcb_flush(m_connection);
    }

    Transfer *find(xcb_window_t requestor, xcb_atom_t property)
    {
        for (Transfer &t : m_transfers) {
            if (t.requestor == requestor && t.property == property)
                return &t;
        }
        return nullptr;
    }

    void forget(xcb_window_t requestor, xcb_atom_t property)
    {
        m_transfers.remove_if([&](const Transfer &t) { return t.requestor == requestor && t.property == property; });
    }

    xcb_connection_t *const m_connection;
    const xcb_atom_t m_clipboard;
    const xcb_atom_t m_utf8String;
    const xcb_atom_t m_textPlainUtf8;
    const xcb_atom_t m_incr;
    const qint64 m_stepBytes;
    std::list<Transfer> m_transfers;
    QTimer m_pump;
    QTimer m_watch;
    Work m_work;
};

} // namespace

std::unique_ptr<SelectionTransfers> SelectionTransfers::forThisDisplay()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return nullptr;
    return std::make_unique<XcbSelectionTransfers>(x11->connection());
}

} // namespace rich_text
