#include "rich_text/rope.h"

#include <QRandomGenerator>
#include <QTest>

using rich_text::Rope;

class TestRope : public QObject {
    Q_OBJECT
private slots:
    void leftClampsLikeTheChatExpects_data();
    void leftClampsLikeTheChatExpects();
    void randomEditsMatchQString();
    void manySmallAppendsStayShallowAndChunky();
    void chunksFromAPosition();
    void equality();
    void sharedPrefixIsRecognisedWithoutReadingIt();
    void latinTextTakesOneBytePerCharacter();
};

void TestRope::leftClampsLikeTheChatExpects_data()
{
    QTest::addColumn<qint64>("n");
    QTest::addColumn<QString>("expected");
    QTest::newRow("negative") << qint64(-5) << QString();
    QTest::newRow("zero") << qint64(0) << QString();
    QTest::newRow("inside") << qint64(3) << QStringLiteral("abc");
    QTest::newRow("whole") << qint64(6) << QStringLiteral("abcdef");
    QTest::newRow("beyond") << qint64(99) << QStringLiteral("abcdef");
}

void TestRope::leftClampsLikeTheChatExpects()
{
    QFETCH(qint64, n);
    QFETCH(QString, expected);
    const Rope r = Rope(u"abc") + Rope(u"def");
    QCOMPARE(r.left(n).toString(), expected);
    QCOMPARE(r.left(n).length(), expected.size());
}

// Ropes built from random cuts and joins must read like the same QString edits.
void TestRope::randomEditsMatchQString()
{
    QRandomGenerator rng(7);
    Rope rope;
    QString model;
    for (int step = 0; step < 3000; ++step) {
        const int op = rng.bounded(4);
        if (op == 0 || model.size() < 10) {
            QString piece;
            const int len = rng.bounded(1, 3000);
            // Now and then a character beyond Latin-1, kept apart in a narrow chunk.
            for (int i = 0; i < len; ++i)
                piece += rng.bounded(20) == 0 ? QChar(u"\u20ac\u4e2d\u00f1"[rng.bounded(3)])
                                              : QChar(u'a' + rng.bounded(26));
            rope = rope + Rope(piece);
            model += piece;
        } else if (op == 1) {
            const qint64 n = rng.bounded(qint64(model.size() + 1));
            rope = rope.left(n);
            model = model.left(n);
        } else if (op == 2) {
            const qint64 pos = rng.bounded(qint64(model.size()));
            const qint64 len = rng.bounded(qint64(model.size() - pos + 1));
            rope = rope.mid(pos, len) + rope;
            model = model.mid(pos, len) + model;
        } else {
            const qint64 pos = rng.bounded(qint64(model.size()));
            QCOMPARE(rope.at(pos), model.at(pos));
        }
        if (model.size() > 200000) {
            rope = rope.right(1000);
            model = model.right(1000);
        }
        QCOMPARE(rope.length(), model.size());
    }
    QCOMPARE(rope.toString(), model);
}

void TestRope::manySmallAppendsStayShallowAndChunky()
{
    Rope r;
    QString expected;
    for (int i = 0; i < 100000; ++i) {
        const QString piece = QStringLiteral("\r\nentry %1").arg(i);
        r = r.left(r.length() - 1) + Rope(piece) + Rope(u"}");
        expected.chop(1);
        expected += piece + u'}';
    }
    QVERIFY2(r.depth() < 40, qPrintable(QString::number(r.depth())));
    int chunks = 0;
    r.forEachChunk(0, [&chunks](QStringView) { return ++chunks, true; });
    QVERIFY2(chunks < expected.size() / 200, qPrintable(QString::number(chunks)));
    QCOMPARE(r.toString(), expected);
}

void TestRope::chunksFromAPosition()
{
    const Rope r = Rope(QString(3000, u'x')) + Rope(u"tail");
    QString seen;
    r.forEachChunk(2998, [&seen](QStringView c) {
        seen += c;
        return true;
    });
    QCOMPARE(seen, QStringLiteral("xxtail"));
    int calls = 0;
    r.forEachChunk(0, [&calls](QStringView) { return ++calls, false; });
    QCOMPARE(calls, 1);
}

void TestRope::equality()
{
    const QString s = QString(5000, u'q') + u"end"_qs;
    const Rope a(s);
    const Rope b = Rope(s.left(1234)) + Rope(s.mid(1234));
    QVERIFY(a == b);
    QVERIFY(a == QStringView(s));
    QVERIFY(a != b.left(b.length() - 1) + Rope(u"x"));
    QVERIFY(Rope() == Rope(u""));
}

// The chat's append cuts a long source and extends it: recognising the result
// must read only the few chunks the cut rewrote, never the whole text.
void TestRope::sharedPrefixIsRecognisedWithoutReadingIt()
{
    Rope source;
    for (int i = 0; i < 20000; ++i)
        source += Rope(QStringLiteral("{\\cf1 entry %1\\par}\r\n").arg(i));
    const qint64 cut = source.length() - 3;
    const Rope extended = source.left(cut) + Rope(u"more") + Rope(u"}");
    qint64 compared = -1;
    QVERIFY(source.samePrefix(extended, cut, &compared));
    QVERIFY2(compared < 5000, qPrintable(QString::number(compared)));

    // Equal text in a tree of its own is equal, but read in full.
    QVERIFY(source.samePrefix(Rope(extended.toString()), cut, &compared));
    QCOMPARE(compared, cut);
    // One character changed is found, wherever it is.
    const Rope changed = source.left(100) + Rope(u"X") + source.mid(101, cut - 101);
    QVERIFY(!source.samePrefix(changed, cut));
    QVERIFY(!source.samePrefix(extended.left(cut - 1), cut)); // too short
}

void TestRope::latinTextTakesOneBytePerCharacter()
{
    const Rope ascii(QString(5000, u'a'));
    QVERIFY(ascii.isLatin1());
    QVERIFY(!(ascii + Rope(u"\u20ac")).isLatin1());
    // Mixed leaves read back exactly, also where a wide chunk meets a narrow one.
    const Rope mixed = ascii.left(1000) + Rope(u"\u20ac\u00e9") + Rope::fromLatin1("caf\xe9") + ascii.mid(4990);
    QCOMPARE(mixed.toString(), QString(1000, u'a') + u"\u20ac\u00e9caf\u00e9"_qs + QString(10, u'a'));
    QCOMPARE(mixed.at(1001), QChar(0xE9));
    // A few characters beyond Latin-1 among many that are not.
    QString few = QString(3000, u'x');
    few[5] = QChar(0x20AC);
    few[2999] = QChar(0x4E2D);
    const Rope sparse(few);
    QCOMPARE(sparse.toString(), few);
    QCOMPARE(sparse.at(5), QChar(0x20AC));
    QCOMPARE(sparse.mid(2990).toString(), few.mid(2990));
    QCOMPARE((sparse.left(6) + Rope(u"y")).toString(), few.left(6) + u"y"_qs);
}

QTEST_APPLESS_MAIN(TestRope)
#include "test_rope.moc"
