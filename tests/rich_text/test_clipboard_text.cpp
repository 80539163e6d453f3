#include "rich_text/clipboard_text.h"

#include <QPointer>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

using rich_text::ClipboardText;
using rich_text::Rope;

namespace {

const QString kTextPlain = QStringLiteral("text/plain");
constexpr qint64 kSlice = ClipboardText::kSliceCharacters;

// The text as the clipboard has always given it: the whole string with its
// breaks made LF.
QString withLf(QString whole)
{
    return whole.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
}

// `whole` as a rope of parts of random lengths, so that chunks end anywhere.
Rope inParts(const QString &whole, QRandomGenerator &random)
{
    Rope rope;
    for (qsizetype at = 0; at < whole.size();) {
        const qsizetype n = std::min<qsizetype>(random.bounded(1, 5000), whole.size() - at);
        rope += QStringView(whole).mid(at, n);
        at += n;
    }
    return rope;
}

// A text of `slices` slices and a half: lines with accents, a euro sign and
// a pair of surrogates, with a CR LF and a pair cut by the first two slice
// boundaries.
QString longText(int slices)
{
    const QString line = QStringLiteral("Señor, ¿qué tal? 20 € \U0001F600 fin\r\n");
    QString whole;
    while (whole.size() < slices * kSlice + kSlice / 2)
        whole += line;
    whole[kSlice - 1] = u'\r';
    whole[kSlice] = u'\n';
    whole[2 * kSlice - 1] = QChar(0xD83D);
    whole[2 * kSlice] = QChar(0xDE00);
    return whole;
}

} // namespace

class TestClipboardText : public QObject {
    Q_OBJECT
private slots:
    void aLongTextIsMadeInSlicesWhileEventsRun();
    void pastesAtOnceShareOneTextUntilAllLetItGo();
    void bytesAreTheWholeTextsUtf8();
};

// Nothing is made before a program asks; then the text is made a slice at a
// time, the window's events running between every two slices.
void TestClipboardText::aLongTextIsMadeInSlicesWhileEventsRun()
{
    QRandomGenerator random(7);
    const QString whole = longText(3);
    ClipboardText offer(inParts(whole, random), 0, whole.size());
    QCoreApplication::processEvents();
    QCOMPARE(offer.timesBuilt(), 0);

    int events = 0;
    QTimer other;
    other.setInterval(0);
    connect(&other, &QTimer::timeout, [&] { ++events; });
    other.start();
    QCOMPARE(offer.data(kTextPlain), withLf(whole).toUtf8());
    const ClipboardText::Work work = offer.work();
    QCOMPARE(work.builds, 1);
    QCOMPARE(work.slices, 4);
    QCOMPARE(work.largestSlice, kSlice);
    QVERIFY2(events >= work.slices - 1, qPrintable(QString::number(events)));
    // This program's own boxes get a QString, made the same way.
    events = 0;
    QCOMPARE(offer.text(), withLf(whole));
    QCOMPARE(offer.work().slices, 8);
    QVERIFY(events >= 3);
}

// Three programs paste at once, one of them from the other selection, and
// meanwhile another copy takes the clipboard (Qt deletes the offer while
// requests on it wait): all get the whole text, made once and held once,
// and let go once nobody holds it.
void TestClipboardText::pastesAtOnceShareOneTextUntilAllLetItGo()
{
    QRandomGenerator random(11);
    const QString whole = longText(2);
    const Rope content = Rope(u"antes ") + inParts(whole, random);
    auto *clipboard = new ClipboardText(content, 6, whole.size());
    const std::unique_ptr<ClipboardText> primary(ClipboardText::sharing(*clipboard));
    QVERIFY(primary->offers(content, 6, whole.size()));
    QVERIFY(!primary->offers(content, 5, whole.size()));
    QVERIFY(!primary->offers(content + Rope(u"x"), 6, whole.size()));

    QByteArray first, second, third;
    QTimer::singleShot(0, [&] {     // while the first waits
        QTimer::singleShot(0, [&] { // while the second waits
            delete clipboard;
            third = primary->data(kTextPlain);
        });
        second = clipboard->data(kTextPlain);
    });
    first = clipboard->data(kTextPlain);
    const QByteArray expected = withLf(whole).toUtf8();
    QCOMPARE(first, expected);
    QCOMPARE(second, expected);
    QCOMPARE(third, expected);
    QCOMPARE(primary->timesBuilt(), 1);
    QVERIFY(first.isSharedWith(second) && first.isSharedWith(third));

    // Held while a transfer holds it, and given again without being made.
    first = second = QByteArray();
    QTest::qWait(500);
    QVERIFY(primary->holdsText());
    QVERIFY(primary->data(kTextPlain).isSharedWith(third));
    QCOMPARE(primary->timesBuilt(), 1);
    third = QByteArray();
    QTRY_VERIFY(!primary->holdsText());
    QCOMPARE(primary->data(kTextPlain), expected);
    QCOMPARE(primary->timesBuilt(), 2);
}

// Byte for byte what the whole string gives, wherever chunks and slices end:
// CR LF, lone CR, accents, pairs of surrogates and lone ones.
void TestClipboardText::bytesAreTheWholeTextsUtf8()
{
    QRandomGenerator random(23);
    const char16_t alphabet[] = {u'a', u' ', u'\r', u'\n', u'é', u'€', 0xD83D, 0xDE00, 0xDC00};
    for (const qint64 size : {qint64(3000), kSlice + 40000, 2 * kSlice + 12345}) {
        QString whole(size, Qt::Uninitialized);
        for (QChar &c : whole)
            c = QChar(alphabet[random.bounded(int(std::size(alphabet)))]);
        ClipboardText offer(inParts(whole, random), 0, whole.size());
        QCOMPARE(offer.data(kTextPlain), withLf(whole).toUtf8());
        QCOMPARE(offer.text(), withLf(whole));
        QCOMPARE(offer.holdsText(), size > kSlice); // a short text is made for each request
    }
}

QTEST_GUILESS_MAIN(TestClipboardText)
#include "test_clipboard_text.moc"
