#include "rich_text/line_map.h"

#include <QRandomGenerator>
#include <QTest>
#include <QTextBoundaryFinder>

using rich_text::Block;
using rich_text::Document;
using rich_text::LineMap;
using rich_text::LinePosition;

namespace {

// Paragraphs of random length, some far longer than a piece: words, line
// breaks inside a paragraph, long tokens without a break, combining marks.
QString randomParagraphs(QRandomGenerator &random, int paragraphs)
{
    QStringList out;
    for (int p = 0; p < paragraphs; ++p) {
        const int length = random.bounded(4) == 0 ? int(random.bounded(30000)) : int(random.bounded(200));
        const bool token = random.bounded(3) == 0;
        QString text;
        while (text.size() < length) {
            const quint32 r = random.bounded(40);
            text += r == 0         ? QChar(u'\n')
                : r == 1 && !token ? QChar(u' ')
                : r == 2           ? QChar(0x0301)
                                   : QChar(u'a' + r % 26);
        }
        out << text;
    }
    return out.join(u"\r\n");
}

// Line counts as a layout at `charsPerLine` characters a line would report.
void layOutEverything(LineMap &map, const Document &doc, qint64 charsPerLine)
{
    Block b{0, 0};
    do {
        const qint64 length = map.pieceEnd(b.paragraph, b.piece) - map.pieceStart(b.paragraph, b.piece);
        map.setLines(b, std::max<qint64>(1, (length + charsPerLine - 1) / charsPerLine));
    } while (map.nextBlock(b));
    Q_UNUSED(doc);
}

} // namespace

class TestLineMap : public QObject {
    Q_OBJECT
private slots:
    void blocksCoverTheTextInOrder();
    void linesAndPositionsRoundTrip();
    void aChangeForgetsOnlyWhatFollowsIt();
    void countsAreKeptNearWhereTheViewLooks();
    void aQuestionReadsABlockAtMost();
};

void TestLineMap::blocksCoverTheTextInOrder()
{
    QRandomGenerator random(15);
    // Also a paragraph whose every space carries a mark, which joins its cluster.
    const QString marked = QStringLiteral("ab \u0301").repeated(3000);
    const Document doc = Document::fromPlain(randomParagraphs(random, 60) + u"\r\n"_qs + marked, u"Sans"_qs);
    const LineMap map(doc);
    QCOMPARE(map.paragraphCount(), doc.paragraphCount());
    Block b{0, 0};
    qint64 expectedStart = 0;
    do {
        QCOMPARE(map.blockStart(b), expectedStart);
        const qint64 end = map.pieceEnd(b.paragraph, b.piece);
        const qint64 length = end - map.pieceStart(b.paragraph, b.piece);
        QVERIFY(length > 0 || map.pieceCount(b.paragraph) == 1);
        QVERIFY(length <= LineMap::kPiece + LineMap::kPieceSnap + 1);
        const bool last = b.piece + 1 == map.pieceCount(b.paragraph);
        if (!last) { // a piece never ends inside a grapheme cluster
            QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, doc.paragraphText(b.paragraph));
            graphemes.setPosition(int(end));
            QVERIFY(graphemes.isAtBoundary());
        }
        for (qint64 probe : {qint64(0), length / 2, std::max<qint64>(0, length - 1)})
            QCOMPARE(map.blockAt(expectedStart + probe), b);
        expectedStart += length + (last ? 2 : 0);
    } while (map.nextBlock(b));
    QCOMPARE(expectedStart, doc.plainLength() + 2);
    QCOMPARE(b, map.lastBlock());
}

void TestLineMap::linesAndPositionsRoundTrip()
{
    QRandomGenerator random(151);
    // 0: nothing laid out yet, every block one line.
    for (const qint64 charsPerLine : {0, 1, 7, 45, 300, 5000}) {
        const Document doc = Document::fromPlain(randomParagraphs(random, 40), u"Sans"_qs);
        LineMap map(doc);
        if (charsPerLine > 0)
            layOutEverything(map, doc, charsPerLine);
        qint64 line = 0;
        Block b{0, 0};
        do {
            for (qint64 within = 0; within < map.blockLines(b); ++within, ++line) {
                const LinePosition p = map.positionOfLine(line);
                QCOMPARE(p.block, b);
                QCOMPARE(p.line, within);
                QCOMPARE(map.lineNumberOf(p), line);
            }
        } while (map.nextBlock(b));
        QCOMPARE(map.totalLines(), line);
        QCOMPARE(map.positionOfLine(line + 10).block, map.lastBlock()); // clamped
    }
}

void TestLineMap::aChangeForgetsOnlyWhatFollowsIt()
{
    QRandomGenerator random(1515);
    const QString before = randomParagraphs(random, 30);
    Document doc = Document::fromPlain(before, u"Sans"_qs);
    LineMap map(doc);
    layOutEverything(map, doc, 10);
    const qint64 linesBeforeTen = map.lineNumberOf(LinePosition{{10, 0}, 0});
    doc = Document::fromPlain(before.left(doc.paragraphStart(10)) + randomParagraphs(random, 50), u"Sans"_qs);
    map.paragraphsChanged(10);
    QCOMPARE(map.paragraphCount(), doc.paragraphCount());
    QCOMPARE(map.lineNumberOf(LinePosition{{10, 0}, 0}), linesBeforeTen);
    qint64 blocksFromTen = 0, blocks = 0;
    Block b{0, 0};
    do {
        ++blocks;
        blocksFromTen += b.paragraph >= 10;
    } while (map.nextBlock(b));
    QCOMPARE(map.totalLines(), linesBeforeTen + blocksFromTen); // one each, not laid out
    map.forgetLineCounts();
    QCOMPARE(map.totalLines(), blocks);
}

// What the view laid out is kept for the last group of paragraphs and the
// few used lately; a group used longest ago counts as not laid out again,
// its long paragraphs' pieces too, and the lines still add up everywhere.
void TestLineMap::countsAreKeptNearWhereTheViewLooks()
{
    constexpr size_t kGroup = rich_text::LineIndex::kGroup;
    const qint64 groups = rich_text::LineIndex::kKeptGroups + 3;
    // Short paragraphs, and one of three pieces at the start of each group.
    QStringList paragraphs;
    for (qint64 g = 0; g < groups; ++g) {
        paragraphs << QString(9000, u'w');
        for (size_t i = 1; i < kGroup; ++i)
            paragraphs << QStringLiteral("x");
    }
    paragraphs.resize(paragraphs.size() - 1000);
    const QString text = paragraphs.join(QStringLiteral("\r\n"));
    Document doc = Document::fromPlain(text, u"Sans"_qs);
    LineMap map(doc);
    const qint64 unlaid = map.totalLines();
    QCOMPARE(unlaid, qint64(doc.paragraphCount()) + 2 * groups);
    map.setLines(Block{10, 0}, 5);
    map.setLines(Block{0, 1}, 7); // a piece of the long paragraph
    const size_t last = doc.paragraphCount() - 1;
    map.setLines(Block{last - 1, 0}, 3);
    QCOMPARE(map.totalLines(), unlaid + 4 + 6 + 2);

    // An append keeps what the last group knows.
    doc = Document::fromPlain(text + QStringLiteral("\r\ny"), u"Sans"_qs);
    map.paragraphsChanged(last);
    QCOMPARE(map.blockLines(Block{last - 1, 0}), 3);
    // Looking far from the first group, at one group after another, forgets it.
    for (qint64 g = 1; g < groups - 1; ++g)
        QCOMPARE(map.lineNumberOf(LinePosition{{size_t(g) * kGroup + 5, 0}, 0}) > 0, true);
    QCOMPARE(map.blockLines(Block{10, 0}), 1);
    QCOMPARE(map.blockLines(Block{0, 1}), 1);
    QCOMPARE(map.blockLines(Block{last - 1, 0}), 3);
    QCOMPARE(map.totalLines(), unlaid + 1 + 2);

    // Line numbers and positions agree anywhere.
    QRandomGenerator random(16);
    for (int i = 0; i < 200; ++i) {
        const qint64 line = random.bounded(map.totalLines());
        const LinePosition p = map.positionOfLine(line);
        QCOMPARE(map.lineNumberOf(p), line);
    }
}

// The view asks for the last line's number at every update, and every entry
// changes the last paragraph: within a group of 65,536 paragraphs, each
// reads the group's block sums and one block's counts at most, not every
// count before it.
void TestLineMap::aQuestionReadsABlockAtMost()
{
    using rich_text::LineIndex;
    LineIndex index([](size_t p) { return qint64(1 + p % 3); }, [](size_t, size_t) {});
    index.resize(LineIndex::kGroup + LineIndex::kGroup - 3);
    const qint64 most = qint64(LineIndex::kGroup / LineIndex::kBlock + LineIndex::kBlock);
    for (const size_t p : {index.size() - 1, index.size() / 2, size_t(1000)}) {
        qint64 before = index.countsRead();
        const qint64 line = index.linesBefore(p);
        QVERIFY2(index.countsRead() - before <= most, qPrintable(QString::number(index.countsRead() - before)));
        before = index.countsRead();
        QCOMPARE(index.find(line), std::make_pair(p, qint64(0)));
        QVERIFY2(index.countsRead() - before <= most, qPrintable(QString::number(index.countsRead() - before)));
    }
    const qint64 before = index.countsRead();
    index.resize(index.size() - 2);
    index.resize(index.size() + 3);
    QVERIFY2(index.countsRead() - before <= most, qPrintable(QString::number(index.countsRead() - before)));
    index.setLines(index.size() - 2, 40);
    QCOMPARE(index.linesBefore(index.size() - 1) - index.linesBefore(index.size() - 2), 40);
}

QTEST_MAIN(TestLineMap)
#include "test_line_map.moc"
