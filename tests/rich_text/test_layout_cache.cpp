#include "rich_text/layout_cache.h"

#include <QGuiApplication>
#include <QTest>

#include <vector>

using rich_text::Block;
using rich_text::BlockLayout;
using rich_text::LayoutCache;

class TestLayoutCache : public QObject {
    Q_OBJECT
private slots:
    void holdsAtMostItsBoundAndDropsTheLeastRecent();
    void changedParagraphsAreLaidOutAgain();

private:
    // Each block laid out as the text "paragraph.piece"; every call is noted.
    LayoutCache cache()
    {
        return LayoutCache([this](const Block &b) {
            m_made.push_back(b);
            const QString text = QStringLiteral("%1.%2").arg(b.paragraph).arg(b.piece);
            return std::make_unique<BlockLayout>(text, QList<QTextLayout::FormatRange>(), QFont(), QTextOption(),
                                                 100.0);
        });
    }
    std::vector<Block> m_made;
};

void TestLayoutCache::holdsAtMostItsBoundAndDropsTheLeastRecent()
{
    m_made.clear();
    LayoutCache c = cache();
    c.setCapacity(3);
    for (size_t p = 0; p < 3; ++p)
        c.get(Block{p, 0});
    c.get(Block{0, 0}); // now the most recent: block 1 is the least
    QCOMPARE(m_made.size(), size_t(3));
    const LayoutCache::Layout kept = c.get(Block{3, 0});
    QCOMPARE(c.size(), size_t(3));
    c.get(Block{0, 0});
    c.get(Block{2, 0});
    QCOMPARE(m_made.size(), size_t(4));
    QCOMPARE(c.get(Block{1, 0})->text(), u"1.0"_qs); // dropped, so laid out again
    QCOMPARE(m_made.size(), size_t(5));
    c.setCapacity(1);
    QCOMPARE(c.size(), size_t(1));
    QCOMPARE(kept->text(), u"3.0"_qs); // a layout still held outside outlives its entry
}

void TestLayoutCache::changedParagraphsAreLaidOutAgain()
{
    m_made.clear();
    LayoutCache c = cache();
    c.setCapacity(10);
    for (qint64 piece = 0; piece < 2; ++piece) {
        for (size_t p = 0; p < 4; ++p)
            c.get(Block{p, piece});
    }
    c.dropFrom(2);
    QCOMPARE(c.size(), size_t(4));
    c.get(Block{1, 1});
    QCOMPARE(m_made.size(), size_t(8));
    c.get(Block{2, 0});
    QCOMPARE(m_made.size(), size_t(9));
    c.clear();
    QCOMPARE(c.size(), size_t(0));
}

QTEST_MAIN(TestLayoutCache)
#include "test_layout_cache.moc"
