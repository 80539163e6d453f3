// Other X11 programs pasting a long copy, under an X server of the test's own:
// each gets every byte, in steps no larger than the transfers' own (Qt's
// would be 16 MiB, written while the window waits), the answer going at once
// while the text is still being made; a short copy is left to Qt; a reader
// that goes away mid-paste is given up; a new copy, a change of the
// transcript or the end of the program mid-paste harm no other reader.

#include "rich_text/clipboard_text.h"
#include "rich_text/selection_transfers.h"

#include <QApplication>
#include <QClipboard>
#include <QProcess>
#include <QTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

using rich_text::ClipboardText;
using rich_text::Rope;
using rich_text::SelectionTransfers;

namespace {

xcb_atom_t atomNamed(xcb_connection_t *c, const char *name)
{
    xcb_intern_atom_reply_t *r
        = xcb_intern_atom_reply(c, xcb_intern_atom(c, false, quint16(strlen(name)), name), nullptr);
    const xcb_atom_t atom = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(r);
    return atom;
}

// A program pasting the clipboard as UTF-8 over a connection of its own,
// taking an incremental answer step by step.
class Reader {
public:
    Reader()
        : m_c(xcb_connect(nullptr, nullptr))
    {
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data;
        m_window = xcb_generate_id(m_c);
        const quint32 mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
        m_property = atomNamed(m_c, "VZ_PASTE");
        m_incr = atomNamed(m_c, "INCR");
        xcb_convert_selection(m_c, m_window, atomNamed(m_c, "CLIPBOARD"), atomNamed(m_c, "UTF8_STRING"), m_property,
                              XCB_CURRENT_TIME);
        xcb_flush(m_c);
    }
    ~Reader() { goAway(); }
    void goAway()
    {
        if (m_c)
            xcb_disconnect(m_c);
        m_c = nullptr;
    }

    void poll()
    {
        while (xcb_generic_event_t *e = m_c ? xcb_poll_for_event(m_c) : nullptr) {
            const int type = e->response_type & 0x7f;
            if (type == XCB_SELECTION_NOTIFY) {
                m_incremental = takeProperty() == m_incr;
                m_done = !m_incremental;
            } else if (type == XCB_PROPERTY_NOTIFY && m_incremental && !m_done
                       && reinterpret_cast<xcb_property_notify_event_t *>(e)->state == XCB_PROPERTY_NEW_VALUE) {
                const qsizetype before = bytes.size();
                takeProperty();
                const qint64 step = bytes.size() - before;
                m_done = step == 0;
                steps += step > 0;
                largestStep = std::max(largestStep, step);
            }
            free(e);
        }
    }
    bool done() const { return m_done; }
    bool answered() const { return m_incremental || m_done; }

    QByteArray bytes;
    int steps = 0;
    qint64 largestStep = 0;

private:
    // Reads the property whole and deletes it; returns its type.
    xcb_atom_t takeProperty()
    {
        const auto cookie = xcb_get_property(m_c, true, m_window, m_property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 28);
        xcb_get_property_reply_t *r = xcb_get_property_reply(m_c, cookie, nullptr);
        if (!r)
            return XCB_ATOM_NONE;
        const xcb_atom_t type = r->type;
        if (type != m_incr)
            bytes.append(static_cast<const char *>(xcb_get_property_value(r)), xcb_get_property_value_length(r));
        free(r);
        xcb_flush(m_c);
        return type;
    }

    xcb_connection_t *m_c;
    xcb_window_t m_window = 0;
    xcb_atom_t m_property = 0;
    xcb_atom_t m_incr = 0;
    bool m_incremental = false;
    bool m_done = false;
};

Rope linesOf(qint64 characters)
{
    Rope text = u"Señor Núñez, 20 € 😀 y el pingüino;\r\n";
    while (text.length() < characters)
        text += text;
    return text.left(characters);
}

// Runs the window's events until every reader is done (at most 30 s).
bool serve(std::initializer_list<Reader *> readers)
{
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        bool all = true;
        for (Reader *r : readers) {
            r->poll();
            all = all && r->done();
        }
        if (all)
            return true;
    }
    return false;
}

} // namespace

class TestSelectionTransfers : public QObject {
    Q_OBJECT
private slots:
    void init() { QVERIFY(m_transfers = SelectionTransfers::forThisDisplay()); }
    void cleanup() { m_transfers.reset(); }

    void pastesAtOnceGetEveryByteInSmallSteps()
    {
        const Rope text = linesOf(20 << 20);
        QGuiApplication::clipboard()->setMimeData(new ClipboardText(text, 0, text.length()));
        const QByteArray expected = ClipboardText::plainText(text).toUtf8();
        Reader first;
        Reader second;
        QVERIFY(serve({&first, &second}));
        for (const Reader *r : {&first, &second}) {
            QCOMPARE(r->bytes.size(), expected.size());
            QVERIFY(r->bytes == expected);
            QVERIFY2(r->largestStep <= SelectionTransfers::kStepBytes, QByteArray::number(r->largestStep));
            QVERIFY(r->steps >= expected.size() / SelectionTransfers::kStepBytes);
        }
        QCOMPARE(m_transfers->work().transfers, 2);
        QCOMPARE(m_transfers->work().underWay, 0);
    }

    void shortCopyIsLeftToQt()
    {
        const Rope text = linesOf(1000);
        QGuiApplication::clipboard()->setMimeData(new ClipboardText(text, 0, text.length()));
        Reader reader;
        QVERIFY(serve({&reader}));
        QCOMPARE(reader.bytes, ClipboardText::plainText(text).toUtf8());
        QCOMPARE(m_transfers->work().transfers, 0);
    }

    void readerThatGoesAwayIsGivenUp()
    {
        const Rope text = linesOf(8 << 20);
        QGuiApplication::clipboard()->setMimeData(new ClipboardText(text, 0, text.length()));
        auto reader = std::make_unique<Reader>();
        Reader other;
        QTRY_VERIFY_WITH_TIMEOUT((reader->poll(), other.poll(), reader->steps > 0), 20000);
        reader->goAway();
        QVERIFY(serve({&other}));
        QTRY_COMPARE_WITH_TIMEOUT(m_transfers->work().underWay, 0, 10000);
        Reader next; // and the next paste is served whole
        QVERIFY(serve({&next}));
        for (const Reader *r : {&other, &next})
            QVERIFY(r->bytes == ClipboardText::plainText(text).toUtf8());
    }

    // The answer goes in the pass of the event loop that takes the request,
    // long before the text is made: no event loop waits inside Qt's handling
    // of the display's events.
    void aPasteIsAnsweredAtOnce()
    {
        const Rope text = linesOf(32 << 20);
        auto *copy = new ClipboardText(text, 0, text.length());
        QGuiApplication::clipboard()->setMimeData(copy);
        Reader reader;
        QDeadlineTimer deadline(10000);
        while (!reader.answered() && !deadline.hasExpired()) {
            QCoreApplication::processEvents();
            reader.poll();
        }
        QVERIFY(reader.answered());
        QVERIFY2(copy->work().slices < text.length() / ClipboardText::kSliceCharacters / 2,
                 QByteArray::number(copy->work().slices));
        QVERIFY(serve({&reader}));
        QVERIFY(reader.bytes == ClipboardText::plainText(text).toUtf8());
    }

    // Mid-paste this program pastes the same text too, the transcript grows,
    // and another copy takes the clipboard (Qt deletes the first offer): the
    // first reader still gets its text whole, a new one the new copy. Then
    // the transfers end mid-paste, as when the window closes: nothing is left
    // holding the text.
    void whatHappensMidPasteHarmsNoOtherReader()
    {
        Rope content = linesOf(8 << 20);
        QGuiApplication::clipboard()->setMimeData(new ClipboardText(content, 0, content.length()));
        const QByteArray first = ClipboardText::plainText(content).toUtf8();
        Reader early;
        QTRY_VERIFY_WITH_TIMEOUT((early.poll(), early.steps > 0), 20000);
        QVERIFY(QGuiApplication::clipboard()->mimeData()->data(QStringLiteral("text/plain")) == first);
        QTest::qWait(1000); // the early reader takes its time: its text must not go meanwhile
        content += Rope(u"\r\nmensaje que llega mientras se pega");
        auto *second = new ClipboardText(content, 1000, content.length() - 1000);
        QGuiApplication::clipboard()->setMimeData(second);
        Reader late;
        QVERIFY(serve({&early, &late}));
        QVERIFY(early.bytes == first);
        QVERIFY(late.bytes == ClipboardText::plainText(content.mid(1000)).toUtf8());

        Reader cut;
        QTRY_VERIFY_WITH_TIMEOUT((cut.poll(), cut.steps > 0), 20000);
        m_transfers.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!second->holdsText(), 5000);
    }

private:
    std::unique_ptr<SelectionTransfers> m_transfers;
};

// An X server of the test's own (Xvfb), its display for this process.
int main(int argc, char **argv)
{
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("640x480x24")});
    if (!xvfb.waitForStarted() || !xvfb.waitForReadyRead(20000)) {
        std::fprintf(stderr, "SKIP: no X server (Xvfb) could be started\n");
        return 77;
    }
    qputenv("DISPLAY", ":" + xvfb.readLine().trimmed());
    qputenv("QT_QPA_PLATFORM", "xcb");
    int status = 0;
    {
        QApplication app(argc, argv);
        TestSelectionTransfers test;
        status = QTest::qExec(&test, argc, argv);
    }
    xvfb.terminate();
    xvfb.waitForFinished();
    return status;
}

#include "test_selection_transfers.moc"
