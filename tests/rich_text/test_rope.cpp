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
    void provenanceFollowsTheLeftOperand();
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
            for (int i = 0; i < len; ++i)
                piece += QChar(u'a' + rng.bounded(26));
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

void TestRope::provenanceFollowsTheLeftOperand()
{
    const Rope source = Rope(u"{\\rtf1 hello\\par\r\n}\r\n").stamped();
    QVERIFY(source.originId() != 0);
    QCOMPARE(source.sharedPrefix(), source.length());

    const Rope extended = source.left(source.length() - 3) + Rope(u"more") + Rope(u"}");
    QCOMPARE(extended.originId(), source.originId());
    QCOMPARE(extended.sharedPrefix(), source.length() - 3);

    QCOMPARE(extended.left(5).sharedPrefix(), 5);
    QVERIFY(source.stamped().originId() != source.originId());
    QCOMPARE(Rope(u"x").originId(), 0u);
    QCOMPARE((Rope(u"x") + source).originId(), 0u);          // text in front: unknown prefix
    QCOMPARE(source.mid(1).originId(), 0u);
    QCOMPARE((Rope() + source).originId(), source.originId());
}

QTEST_APPLESS_MAIN(TestRope)
#include "test_rope.moc"
