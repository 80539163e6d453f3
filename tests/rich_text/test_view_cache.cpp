#include "rich_text/document.h"
#include "rich_text/layout_cache.h"
#include "rich_text/line_map.h"
#include "rich_text/view_cache.h"

#include <QGuiApplication>
#include <QTest>

using namespace rich_text;

// The lines on screen without a widget: forty one-line paragraphs, laid out
// as the view lays them out, read through the view cache.
class TestViewCache : public QObject {
    Q_OBJECT
private slots:
    void theScreenIsOneWalkFromTheTop();

private:
    Document m_doc = Document::fromPlain(Rope(QStringList(40, u"línea"_qs).join(u"\r\n")), u"Sans"_qs);
    LineMap m_map{m_doc};
    LayoutCache m_layouts{[](const Block &b) {
        return std::make_unique<BlockLayout>(QString::number(b.paragraph), QList<QTextLayout::FormatRange>(), QFont(),
                                             QTextOption(), 200.0);
    }};
};

void TestViewCache::theScreenIsOneWalkFromTheTop()
{
    m_layouts.setCapacity(8);
    ViewCache view(m_map, m_layouts);
    view.setTop(LinePosition{{10, 0}, 0});
    view.setHeight(100);
    const qreal height = view.viewLine(0).line().height;
    const int shown = view.lineCount();
    QCOMPARE(shown, int(std::ceil((100 - ViewCache::kTextMargin) / height)));
    QCOMPARE(view.viewLine(0).top(), qreal(ViewCache::kTextMargin));
    for (int i = 1; i < shown; ++i) {
        QCOMPARE(view.viewLine(i).at.block.paragraph, size_t(10 + i));
        QCOMPARE(view.viewLine(i).top(), view.viewLine(i - 1).bottom());
    }
    QVERIFY(!view.reachesEnd());
    QCOMPARE(view.viewLineOf(m_doc.paragraphStart(12) + 2), std::optional<int>(2));
    QCOMPARE(view.viewLineOf(m_doc.paragraphStart(9)), std::nullopt);

    // Below the screen the walk goes on without keeping what it passes,
    // and every line it hands out keeps its layout past the cache's bound.
    const ViewCache::Hit below = view.lineAtY(ViewCache::kTextMargin + 20.5 * height);
    QCOMPARE(below.line.at.block.paragraph, size_t(30));
    QVERIFY(!below.beyondEnd);
    QCOMPARE(below.line.layout->text(), u"30"_qs);
    QCOMPARE(view.lineCount(), shown);
    QVERIFY(view.lineAtY(1e6).beyondEnd);
    QCOMPARE(view.lineAtY(-50).line.at.block.paragraph, size_t(10));

    view.setTop(LinePosition{{38, 0}, 0});
    QCOMPARE(view.lineCount(), 2);
    QVERIFY(view.reachesEnd());
}

QTEST_MAIN(TestViewCache)
#include "test_view_cache.moc"
