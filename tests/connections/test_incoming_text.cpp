#include "connections/incoming_text.h"

#include <QTest>

using connections::IncomingText;

// Bytes to text across reads: UTF-8 first, Windows-1252 for whatever is not.
class TestIncomingText : public QObject {
    Q_OBJECT

private slots:
    void decodesReadByRead_data();
    void decodesReadByRead();
    void heldBytesAreShownWhenTheWaitEnds();
};

void TestIncomingText::decodesReadByRead_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QStringList>("texts");

    QTest::newRow("ascii") << QList<QByteArray>{"hola"} << QStringList{"hola"};
    QTest::newRow("utf-8 whole") << QList<QByteArray>{"ma\xC3\xB1" "ana \xE2\x82\xAC"}
                                 << QStringList{QStringLiteral("mañana €")};
    QTest::newRow("two-byte split") << QList<QByteArray>{"a\xC3", "\xB1" "b"}
                                    << QStringList{"a", QStringLiteral("ñb")};
    QTest::newRow("four-byte split in three") << QList<QByteArray>{"x\xF0\x9F", "\x98", "\x80y"}
                                              << QStringList{"x", "", QStringLiteral("x😀y").mid(1)};
    QTest::newRow("windows-1252 accents") << QList<QByteArray>{"canci\xF3n, \xBFqu\xE9 tal?"}
                                          << QStringList{QStringLiteral("canción, ¿qué tal?")};
    QTest::newRow("windows-1252 high range") << QList<QByteArray>{"\x80\x93" "x" "\x94\x81"}
                                             << QStringList{QStringLiteral("€“x”\u0081")};
    QTest::newRow("lead byte then not a continuation") << QList<QByteArray>{"\xC3" "A"}
                                                       << QStringList{QStringLiteral("ÃA")};
    QTest::newRow("overlong form") << QList<QByteArray>{"\xC0\x80"} << QStringList{QStringLiteral("À€")};
    QTest::newRow("encoded surrogate") << QList<QByteArray>{"\xED\xA0\x80"}
                                       << QStringList{QStringLiteral("í\u00A0€")};
    QTest::newRow("beyond U+10FFFF") << QList<QByteArray>{"\xF4\x90\x80\x80"}
                                     << QStringList{QStringLiteral("ô\u0090€€")};
    QTest::newRow("NUL and control bytes kept") << QList<QByteArray>{QByteArray("a\0b\x01\x7F", 5)}
                                                << QStringList{QString::fromUtf16(u"a\0b\x01\x7F", 5)};
    QTest::newRow("invalid split lead then next read") << QList<QByteArray>{"est\xE1", " bien"}
                                                       << QStringList{"est", QStringLiteral("á bien")};
}

void TestIncomingText::decodesReadByRead()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QStringList, texts);
    IncomingText incoming;
    QStringList got;
    for (const QByteArray &read : reads)
        got << incoming.decode(read);
    QCOMPARE(got, texts);
}

void TestIncomingText::heldBytesAreShownWhenTheWaitEnds()
{
    IncomingText incoming;
    QCOMPARE(incoming.decode("est\xE1"), QStringLiteral("est"));
    QVERIFY(incoming.hasPending());
    QCOMPARE(incoming.flush(), QStringLiteral("á"));
    QVERIFY(!incoming.hasPending());
    QCOMPARE(incoming.decode("\xF0\x9F\x98"), QString());
    QCOMPARE(incoming.flush(), QStringLiteral("ð\u0178\u02DC"));
}

QTEST_GUILESS_MAIN(TestIncomingText)
#include "test_incoming_text.moc"
