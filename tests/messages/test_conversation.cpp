#include "support/foreign_peer.h"
#include "support/own_network.h"
#include "support/rich_text_access.h"
#include "support/window.h"

#include "connections/lingering_connections.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "rich_text/clipboard_text.h"
#include "rich_text/rich_text_box.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace support;

namespace {

// A copy long enough that pasting it waits for dozens of passes of the event loop.
QString copyLongText()
{
    const QString text = QStringLiteral("palabra ").repeated(2 << 20);
    QApplication::clipboard()->setMimeData(new rich_text::ClipboardText(rich_text::Rope(text), 0, text.size()));
    return text;
}

void pasteInto(QLineEdit *box) { QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier); }

// The child of aPasteWaitsWhileTheWindowGoesOn: the window is closed while a
// paste waits, as the user may, and the program ends as it always does.
int closeMidPaste()
{
    connections::LingeringConnections lingering;
    Form1 window(lingering, address("127.0.0.5"));
    window.show();
    copyLongText();
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(0, [&] { window.close(); });
        QLineEdit *input = lineEdit(window, "TxtMensaje");
        pasteInto(input);
        std::printf("%lld\n", qlonglong(input->text().size()));
    });
    const int status = QApplication::exec();
    connections::finishConnections(window, lingering);
    return status;
}

bool allColored(const Form1 &form, qint64 from, qint64 length, quint32 color)
{
    for (qint64 p = from; p < from + length; ++p) {
        if (transcriptColor(form, p) != color)
            return false;
    }
    return true;
}

} // namespace

// Sending and receiving, with whole windows driven through their widgets and
// peers on loopback addresses of the test's own network namespace.
class TestConversation : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(inOwnNetwork(), kOwnNetworkAdvice); }
    void conversationStartedFromOneSideGoesBothWays();
    void sendingHasThreeOutcomes();
    void wireCarriesTheRawTextAndNothingElse();
    void eachReadIsOneEntry();
    void peerBytesAreShownAsText();
    void largeMessageArrivesWhole();
    void selectingAcrossEntriesCopiesTheirText();
    void aPasteWaitsWhileTheWindowGoesOn();

private:
    // Outlives every window and socket a test makes: they hand it their connections.
    connections::LingeringConnections m_lingering;
};

void TestConversation::conversationStartedFromOneSideGoesBothWays()
{
    Form1 a(m_lingering, address("127.0.0.2"));
    Form1 b(m_lingering, address("127.0.0.3"));
    a.show();
    b.show();

    connectTo(a, QStringLiteral("127.0.0.3"));
    QTRY_COMPARE(support::envia(a).State(), int(connections::Connected));
    QTRY_COMPARE(support::envia(b).State(), int(connections::Connected));

    typeAndEnter(a, QStringLiteral("Hola, ¿qué tal?"));
    QTRY_COMPARE(entries(b), QStringList{QStringLiteral("Hola, ¿qué tal?")});
    QTest::keyClicks(lineEdit(b, "TxtMensaje"), QStringLiteral("Bien {\\b gracias}"));
    QTest::mouseClick(button(b, "CmdEnviar"), Qt::LeftButton);
    QTRY_COMPARE(entries(a).size(), 2);

    const QStringList conversation{QStringLiteral("Hola, ¿qué tal?"), QStringLiteral("Bien {\\b gracias}")};
    QCOMPARE(entries(a), conversation);
    QCOMPARE(entries(b), conversation);
    // Each entry is its length plus 2 positions: 15 + 2, then 17 + 2.
    QCOMPARE(a.posTexto(), 36.0);
    QCOMPARE(b.posTexto(), 36.0);
    QCOMPARE(transcriptText(a).size(), 36);

    const quint32 blue = Form1::ColorRecibido;
    QVERIFY(!allColored(a, 2, 15, blue) && transcriptColor(a, 2) != blue);
    QVERIFY(allColored(a, 19, 17, blue));
    QVERIFY(allColored(b, 2, 15, blue));
    QVERIFY(transcriptColor(b, 19) != blue && transcriptColor(b, 35) != blue);
    QVERIFY(lineEdit(a, "TxtMensaje")->text().isEmpty());
    QVERIFY(lineEdit(b, "TxtMensaje")->text().isEmpty());
}

void TestConversation::sendingHasThreeOutcomes()
{
    ForeignPeer peer("127.0.0.3");
    Form1 a(m_lingering, address("127.0.0.2"));
    a.show();
    QLineEdit *box = lineEdit(a, "TxtMensaje");
    QPushButton *send = button(a, "CmdEnviar");

    // Empty input: nothing happens, the focus comes back from the button.
    send->setFocus();
    QTest::mouseClick(send, Qt::LeftButton);
    QVERIFY(box->text().isEmpty());
    QCOMPARE(a.focusWidget(), box);
    QCOMPARE(a.posTexto(), 0.0);

    // Not connected: the warning replaces what was typed.
    typeAndEnter(a, QStringLiteral("hola"));
    QCOMPARE(box->text(), QStringLiteral("NO ESTAS CONECTADO"));
    QCOMPARE(a.posTexto(), 0.0);
    QVERIFY(entries(a).isEmpty());

    // Connecting is not connected either.
    lineEdit(a, "TxtIp")->setText(QStringLiteral("127.0.0.3"));
    QTest::mouseClick(button(a, "CmdConectar"), Qt::LeftButton);
    QCOMPARE(support::envia(a).State(), int(connections::Connecting));
    box->setText(QStringLiteral("otra vez"));
    QTest::keyClick(box, Qt::Key_Return);
    QCOMPARE(box->text(), QStringLiteral("NO ESTAS CONECTADO"));

    // Once the link is up, the warning left in the box is a message like any other.
    QTRY_COMPARE(support::envia(a).State(), int(connections::Connected));
    send->setFocus();
    QTest::mouseClick(send, Qt::LeftButton);
    QTRY_COMPARE(peer.received, QByteArray("NO ESTAS CONECTADO"));
    QVERIFY(box->text().isEmpty());
    QCOMPARE(a.focusWidget(), box);
    QCOMPARE(entries(a), QStringList{QStringLiteral("NO ESTAS CONECTADO")});
    QCOMPARE(a.posTexto(), 20.0);
    QCOMPARE(support::transcript(a).selStart(), 20);
    QCOMPARE(support::transcript(a).selLength(), 0);

    // Spaces alone are a message.
    typeAndEnter(a, QStringLiteral("   "));
    QTRY_COMPARE(peer.received, QByteArray("NO ESTAS CONECTADO   "));
    QCOMPARE(a.posTexto(), 25.0);
}

void TestConversation::wireCarriesTheRawTextAndNothingElse()
{
    Form1 a(m_lingering, address("127.0.0.2"));
    ForeignPeer peer("127.0.0.3");
    QVERIFY(peer.reach(a, "127.0.0.2"));
    QTRY_COMPARE(support::envia(a).State(), int(connections::Connected)); // the connect-back

    typeAndEnter(a, QStringLiteral("uno"));
    typeAndEnter(a, QStringLiteral("dos"));
    // A tab cannot be typed into the box, but it can be pasted.
    lineEdit(a, "TxtMensaje")->setText(QStringLiteral("{\\rtf1 ñ}\tx"));
    QTest::keyClick(lineEdit(a, "TxtMensaje"), Qt::Key_Return);
    const QByteArray expected = QByteArray("unodos") + QStringLiteral("{\\rtf1 ñ}\tx").toUtf8();
    QTRY_COMPARE(peer.received, expected);
    // Nothing follows: the window has nothing queued or left to write, no
    // byte is on its way, and the peer has read all that came.
    processPendingEvents();
    const QTcpSocket *link = envia(a).findChild<QTcpSocket *>();
    QVERIFY(link);
    QTRY_VERIFY(link->bytesToWrite() == 0 && nothingInFlight() && peer.fromCopy->bytesAvailable() == 0);
    QCOMPARE(peer.received, expected);
    // Nothing ever goes back over a receiving socket.
    QCOMPARE(peer.toCopy.bytesAvailable(), 0);
}

void TestConversation::eachReadIsOneEntry()
{
    Form1 b(m_lingering, address("127.0.0.2"));
    ForeignPeer peer("127.0.0.3");
    QVERIFY(peer.reach(b, "127.0.0.2"));

    // Two messages waiting together come out of one read.
    peer.toCopy.write("ab");
    peer.toCopy.write("cd");
    peer.toCopy.flush();
    QTRY_COMPARE(entries(b), QStringList{"abcd"});

    // One message in two pieces makes two entries, each coloured by itself.
    peer.send("mitad ");
    QTRY_COMPARE(entries(b).size(), 2);
    peer.send("y mitad");
    QTRY_COMPARE(entries(b), QStringList({"abcd", "mitad ", "y mitad"}));
    QCOMPARE(b.posTexto(), double(transcriptText(b).size()));
    QVERIFY(allColored(b, 0, transcriptText(b).size(), Form1::ColorRecibido));

    // A second peer's text lands in the same transcript, looking the same.
    QTcpSocket other;
    other.bind(address("127.0.0.4"), 0);
    other.connectToHost(address("127.0.0.2"), Form1::PuertoChat);
    QVERIFY(other.waitForConnected(5000));
    other.write("otro");
    other.flush();
    QTRY_COMPARE(entries(b).size(), 4);
    QCOMPARE(entries(b).last(), QStringLiteral("otro"));
    QVERIFY(b.slotOcupado(2));
}

void TestConversation::peerBytesAreShownAsText()
{
    Form1 b(m_lingering, address("127.0.0.2"));
    ForeignPeer peer("127.0.0.3");
    QVERIFY(peer.reach(b, "127.0.0.2"));

    peer.send("\xC2\xBFni\xC3"); // UTF-8, then a character cut between two reads
    QTRY_COMPARE(entries(b).size(), 1);
    peer.send("\xB1o");
    QTRY_COMPARE(entries(b), QStringList({QStringLiteral("¿ni"), QStringLiteral("ño")}));

    peer.send("canci\xF3n, \xBFqu\xE9 tal?"); // Windows-1252
    QTRY_COMPARE(entries(b).last(), QStringLiteral("canción, ¿qué tal?"));

    peer.send(QByteArray("a\0b\x01", 4)); // NUL and control bytes get visible stand-ins
    QTRY_COMPARE(entries(b).last(), QStringLiteral("a\u2400b\u2401"));

    peer.send("{\\b negrita} \\par }{ \\u65?");
    QTRY_COMPARE(entries(b).last(), QStringLiteral("{\\b negrita} \\par }{ \\u65?"));

    // Every entry coloured exactly, whatever came before it.
    QCOMPARE(b.posTexto(), double(transcriptText(b).size()));
    QVERIFY(allColored(b, 0, transcriptText(b).size(), Form1::ColorRecibido));
}

void TestConversation::largeMessageArrivesWhole()
{
    Form1 b(m_lingering, address("127.0.0.2"));
    ForeignPeer peer("127.0.0.3");
    QVERIFY(peer.reach(b, "127.0.0.2"));

    QString text;
    auto *random = QRandomGenerator::global();
    const QString alphabet = QStringLiteral("abcdefghijklmnopqrstuvwxyz ñ{}\\áé😀");
    while (text.size() < 1024 * 1024) {
        const qsizetype at = random->bounded(alphabet.size());
        text += alphabet.at(at).isSurrogate() ? QStringLiteral("😀") : QString(alphabet.at(at));
    }
    const QByteArray message = text.toUtf8();
    // After each entry: the control read only the appended tail, and found
    // its own source in what it was given without reading it all.
    const rich_text::TextModel &model = support::transcript(b).model();
    bool allIncremental = true;
    qint64 mostCompared = 0;
    QObject::connect(&recibe(b), &connections::SocketArray::DataArrival, &b, [&] {
        allIncremental = allIncremental && rich_text::TextModelTestAccess::lastLoadIncremental(model);
        mostCompared = std::max(mostCompared, rich_text::TextModelTestAccess::charsCompared(model));
    });
    peer.send(message);

    QTRY_COMPARE_WITH_TIMEOUT(entries(b).join(QString()).size(), text.size(), 60000);
    QCOMPARE(entries(b).join(QString()), text);
    QVERIFY(entries(b).size() > 1);
    QVERIFY(allIncremental);
    QVERIFY2(mostCompared < 8192, qPrintable(QStringLiteral("%1 characters read").arg(mostCompared)));
}

// Dragging over three received entries and copying gives their text, with
// the platform's line breaks between them.
void TestConversation::selectingAcrossEntriesCopiesTheirText()
{
    Form1 b(m_lingering, address("127.0.0.2"));
    ForeignPeer peer("127.0.0.3");
    b.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b));
    QVERIFY(peer.reach(b, "127.0.0.2"));
    for (const char *message : {"uno", "dos", "tres"}) {
        const int before = entries(b).size();
        peer.send(message);
        QTRY_COMPARE(entries(b).size(), before + 1);
    }

    rich_text::RichTextBox &box = support::transcript(b);
    QTRY_VERIFY(!box.updatePending());
    QWidget *view = box.viewport();
    const int line = box.fontMetrics().lineSpacing();
    const int margin = 4; // between the frame and the text
    const QPoint firstEntryStart(margin, margin + line + line / 2);
    const QPoint thirdEntryEnd(view->width() - 2, margin + 3 * line + line / 2);
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, firstEntryStart);
    QTest::mouseMove(view, thirdEntryEnd);
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, thirdEntryEnd);
    QCOMPARE(box.selStart(), 2);
    QCOMPARE(box.selLength(), 14);

    QApplication::clipboard()->clear();
    QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("uno\ndos\ntres"));
}

// A long paste into the message box waits while its text is made, the
// window answering meanwhile: a peer's message arrives and is shown, and the
// user copies it (another copy takes the clipboard, and Qt deletes the one
// being pasted). The paste gets the text it asked for, the next paste the new
// copy. And a window closed mid-paste ends the program cleanly.
void TestConversation::aPasteWaitsWhileTheWindowGoesOn()
{
    Form1 b(m_lingering, address("127.0.0.2"));
    ForeignPeer peer("127.0.0.3");
    b.show();
    QVERIFY(peer.reach(b, "127.0.0.2"));
    const QString message = QStringLiteral("llega mientras se pega");
    const QString pasted = copyLongText();
    QLineEdit *input = lineEdit(b, "TxtMensaje");
    bool pasting = true;
    bool shownMidPaste = false;
    QTimer whilePasting;
    whilePasting.setInterval(0);
    connect(&whilePasting, &QTimer::timeout, [&] {
        if (shownMidPaste || !entries(b).contains(message))
            return;
        shownMidPaste = pasting;
        rich_text::RichTextBox &box = support::transcript(b);
        box.select(box.text().length() - message.size(), box.text().length());
        box.copy();
    });
    QTimer::singleShot(0, [&] {
        peer.send(message.toUtf8());
        whilePasting.start();
    });
    pasteInto(input);
    pasting = false;
    QVERIFY(shownMidPaste);
    QCOMPARE(input->text(), pasted);
    input->clear();
    pasteInto(input);
    QCOMPARE(input->text(), message);

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--close-mid-paste")});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(child.readAllStandardOutput().trimmed(), QByteArray::number(pasted.size()));
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc == 2 && qstrcmp(argv[1], "--close-mid-paste") == 0)
        return closeMidPaste();
    TestConversation test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "test_conversation.moc"
