#include "robustness_support.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace support;
using namespace robustness;

namespace {

constexpr qsizetype kTotalBytes = 20 * 1024 * 1024;

// Printable text without line breaks: ASCII (RTF's own \ { } among it) and
// characters of two, three and four UTF-8 bytes.
QByteArray printableText(qsizetype bytes, QRandomGenerator &random)
{
    static const char *const wide[] = {"ñ", "á", "¿", "ß", "€", "中", "─", "😀", "𝄞"};
    QByteArray out;
    out.reserve(bytes + 4);
    while (out.size() < bytes) {
        if (random.bounded(8) == 0)
            out += wide[random.bounded(9)];
        else
            out += char(0x20 + random.bounded(0x5F));
    }
    return out;
}

} // namespace

// Every byte a peer sends is shown once and in order, however the stream is
// cut: random chunk sizes that split characters anywhere, random pauses
// (shorter than the wait for the rest of a split character).
class TestByteAccounting : public QObject {
    Q_OBJECT

private slots:
    void twentyMebibytesInRandomChunks();
};

void TestByteAccounting::twentyMebibytesInRandomChunks()
{
    QTcpServer peerListener; // takes the window's connect-back
    QVERIFY(peerListener.listen(address("127.0.0.191"), Form1::PuertoChat));
    Form1 b(address("127.0.0.190"));
    b.show();

    QRandomGenerator random(20240521);
    const QByteArray sent = printableText(kTotalBytes, random);
    QTcpSocket peer;
    peer.bind(address("127.0.0.191"), 0);
    peer.connectToHost(address("127.0.0.190"), Form1::PuertoChat);
    QVERIFY(peer.waitForConnected(5000));

    // The writer keeps a little in Qt's buffer and otherwise lets TCP wait
    // for the window; it pauses now and then for up to 20 ms.
    qsizetype at = 0;
    int pauses = 0;
    bool paused = false;
    std::function<void()> write = [&] {
        paused = false;
        while (at < sent.size() && peer.bytesToWrite() < 256 * 1024) {
            const qsizetype n = std::min<qsizetype>(sent.size() - at, 1 + random.bounded(96 * 1024));
            peer.write(sent.constData() + at, n);
            at += n;
            if (random.bounded(10) == 0) {
                paused = true;
                ++pauses;
                QTimer::singleShot(random.bounded(21), &peer, write);
                return;
            }
        }
    };
    QObject::connect(&peer, &QTcpSocket::bytesWritten, &peer, [&] {
        if (!paused)
            write();
    });
    write();

    QElapsedTimer clock;
    clock.start();
    const QString expected = QString::fromUtf8(sent);
    const qsizetype expectedUnits = expected.size();
    // The transcript's length, entries and their separators included, only
    // grows; its text is taken once the last byte is there.
    QTRY_VERIFY_WITH_TIMEOUT(at == sent.size() && peer.bytesToWrite() == 0, 400000);
    QTRY_VERIFY_WITH_TIMEOUT(transcript(b).text().length() - 2 * entries(b).size() >= expectedUnits, 400000);
    QTest::qWait(400); // anything late would show now
    const QString shown = shownText(b);
    QVERIFY2(shown == expected, qPrintable(firstDifference(shown, expected)));
    QCOMPARE(b.posTexto(), double(transcriptText(b).size()));
    QVERIFY(entries(b).size() > 1);
    QVERIFY(pauses > 10);
    QCOMPARE(recibe(b)(1).State(), int(connections::Connected));
}

QTEST_MAIN(TestByteAccounting)
#include "test_byte_accounting.moc"
