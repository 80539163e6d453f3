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
    void characterCutByAFullReadIsHeld();
    void aFloodIsDecodedByteByByteOnlyWhereReadsCutIt();
    void bytesThatCannotBeUtf8EndTheWaitForCutCharacters();
};

void TestIncomingText::decodesReadByRead_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QStringList>("texts");

    QTest::newRow("ascii") << QList<QByteArray>{"hola"} << QStringList{"hola"};
    QTest::newRow("utf-8 whole") << QList<QByteArray>{"ma\xC3\xB1"
                                                      "ana \xE2\x82\xAC"}
                                 << QStringList{QStringLiteral("mañana €")};
    QTest::newRow("two-byte split") << QList<QByteArray>{"\xC2\xBF"
                                                         "a\xC3",
                                                         "\xB1"
                                                         "b"}
                                    << QStringList{QStringLiteral("¿a"), QStringLiteral("ñb")};
    QTest::newRow("four-byte split in three") << QList<QByteArray>{"\xC3\xA9"
                                                                   "x\xF0\x9F",
                                                                   "\x98", "\x80y"}
                                              << QStringList{QStringLiteral("éx"), "", QStringLiteral("x😀y").mid(1)};
    QTest::newRow("windows-1252 accents")
        << QList<QByteArray>{"canci\xF3n, \xBFqu\xE9 tal?"} << QStringList{QStringLiteral("canción, ¿qué tal?")};
    QTest::newRow("windows-1252 high range") << QList<QByteArray>{"\x80\x93"
                                                                  "x"
                                                                  "\x94\x81"}
                                             << QStringList{QStringLiteral("€“x”\u0081")};
    QTest::newRow("lead byte then not a continuation") << QList<QByteArray>{"\xC3"
                                                                            "A"}
                                                       << QStringList{QStringLiteral("ÃA")};
    QTest::newRow("overlong form") << QList<QByteArray>{"\xC0\x80"} << QStringList{QStringLiteral("À€")};
    QTest::newRow("encoded surrogate") << QList<QByteArray>{"\xED\xA0\x80"} << QStringList{QStringLiteral("í\u00A0€")};
    QTest::newRow("beyond U+10FFFF") << QList<QByteArray>{"\xF4\x90\x80\x80"}
                                     << QStringList{QStringLiteral("ô\u0090€€")};
    QTest::newRow("NUL and control bytes kept")
        << QList<QByteArray>{QByteArray("a\0b\x01\x7F", 5)} << QStringList{QString::fromUtf16(u"a\0b\x01\x7F", 5)};
    QTest::newRow("held lead then not a continuation") << QList<QByteArray>{"\xC3\xB1"
                                                                            "est\xE1",
                                                                            " bien"}
                                                       << QStringList{QStringLiteral("ñest"), QStringLiteral("á bien")};
    QTest::newRow("a replacement character sent is text") << QList<QByteArray>{"a\xEF\xBF\xBD"
                                                                               "b"}
                                                          << QStringList{QStringLiteral("a\uFFFDb")};
    QTest::newRow("held character finished by a long read")
        << QList<QByteArray>{"\xC3\xA9"
                             "ab\xE2\x82",
                             "\xAC"
                             "0123456789\xC3\xB1"}
        << QStringList{QStringLiteral("éab"), QStringLiteral("€0123456789ñ")};
    QTest::newRow("held lead then a long read that does not go on with it")
        << QList<QByteArray>{"\xC3\xB1"
                             "x\xE2",
                             "AB0123456789"}
        << QStringList{QStringLiteral("ñx"), QStringLiteral("âAB0123456789")};
    QTest::newRow("not UTF-8 after a character cut between reads")
        << QList<QByteArray>{"\xC3\xB1"
                             "x\xC3",
                             "\xB1y\xE9z"}
        << QStringList{QStringLiteral("ñx"), QStringLiteral("ñyéz")};
    QTest::newRow("windows-1252 read ends in a letter")
        << QList<QByteArray>{"caf\xE9", "s\xED", "\xD1"}
        << QStringList{QStringLiteral("café"), QStringLiteral("sí"), QStringLiteral("Ñ")};
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
    QVERIFY(!incoming.onlyStartsACharacter("\xE2\x82"));
    QCOMPARE(incoming.decode("\xE2\x82\xAC est\xE1"), QStringLiteral("€ est"));
    QVERIFY(incoming.hasPending());
    QCOMPARE(incoming.flush(), QStringLiteral("á"));
    QVERIFY(!incoming.hasPending());
    QCOMPARE(incoming.decode("\xF0\x9F\x98"), QString());
    QCOMPARE(incoming.flush(), QStringLiteral("ð\u0178\u02DC"));
}

// Before any UTF-8 has come, only a read that stopped short of what had
// arrived holds its last lead byte.
void TestIncomingText::characterCutByAFullReadIsHeld()
{
    IncomingText incoming;
    const QByteArray ascii(100, 'a');
    QCOMPARE(incoming.decode(ascii + "\xC3", true), QString::fromLatin1(ascii));
    QCOMPARE(incoming.decode("\xB1"), QStringLiteral("ñ"));
}

// The fast path of a flood: valid UTF-8 goes to Qt's decoder whole, read
// after read, even where a full read cut a character in two; only the few
// bytes of such a character are decoded one by one.
void TestIncomingText::aFloodIsDecodedByteByByteOnlyWhereReadsCutIt()
{
    QString sent;
    for (int i = 0; sent.size() < 200000; ++i)
        sent += QStringLiteral("%1 señor, ¿qué tal? € 中文 😀 ").arg(i);
    const QByteArray bytes = sent.toUtf8();
    IncomingText incoming;
    QString shown;
    int reads = 0;
    for (qsizetype at = 0; at < bytes.size(); at += 997, ++reads)
        shown += incoming.decode(QByteArrayView(bytes).sliced(at, std::min<qsizetype>(997, bytes.size() - at)), true);
    QCOMPARE(shown, sent);
    // At most a character's four bytes at each end of a read.
    QVERIFY2(
        incoming.bytesDecodedOneByOne() <= 8 * reads,
        qPrintable(QStringLiteral("%1 bytes one by one in %2 reads").arg(incoming.bytesDecodedOneByOne()).arg(reads)));
    QVERIFY(incoming.bytesDecodedOneByOne() > 0); // 997 bytes a read do cut characters
}

// The socket waits for the rest of a cut character only on a connection that
// has shown neither UTF-8 nor Windows-1252. Continuation bytes at the start of
// a read may end a character shown before its wait ran out: they show nothing.
void TestIncomingText::bytesThatCannotBeUtf8EndTheWaitForCutCharacters()
{
    IncomingText fresh;
    QVERIFY(fresh.endsInOpenCharacter("caf\xC3"));
    IncomingText late;
    late.decode("caf\xC3");
    late.decode("\xA9 y m");
    QVERIFY(!late.hasShownWindows1252());
    QVERIFY(late.endsInOpenCharacter("ma\xC3"));
    IncomingText legacy;
    legacy.decode("\xA1hola, qu\xE9 tal?");
    QVERIFY(legacy.hasShownWindows1252());
    QVERIFY(!legacy.endsInOpenCharacter("s\xED"));
    IncomingText stray;
    stray.decode("precio: 5 \x80");
    QVERIFY(stray.hasShownWindows1252());
}

QTEST_GUILESS_MAIN(TestIncomingText)
#include "test_incoming_text.moc"
