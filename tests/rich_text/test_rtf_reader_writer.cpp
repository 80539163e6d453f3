#include "rich_text/rtf_reader.h"
#include "rich_text/rtf_writer.h"

#include <QRandomGenerator>
#include <QTest>

using namespace rich_text;

namespace {

const QString kFont = QStringLiteral("MS Sans Serif");

Document read(const QString &rtf) { return RtfReader::read(Rope(rtf), kFont); }
QString plain(const QString &rtf) { return read(rtf).plainText(); }

Color colorAt(const Document &doc, size_t paragraph, qint64 offset) { return doc.formatAt(paragraph, offset).color; }

Document sampleDocument(const QString &lineBreaks = u"line\nbreak\rhere"_qs)
{
    Document doc = Document::empty(kFont);
    CharFormat red;
    red.color = 0xFF0000;
    CharFormat bigBold;
    bigBold.sizeHalfPoints = 32;
    bigBold.bold = true;
    doc.ensureColor(red.color);
    doc.appendText(u"plain \\{markup}\t", Document::defaultFormat());
    doc.appendText(u"red\u00e9\U0001F600", red);
    doc.endParagraph(red);
    doc.appendText(lineBreaks, bigBold);
    doc.appendText(QString(QChar(0x01)) + u"\x7f"_qs + u"x"_qs, Document::defaultFormat());
    doc.endParagraph(Document::defaultFormat());
    doc.commit();
    doc.normalize(kFont);
    return doc;
}

} // namespace

class TestRtfReaderWriter : public QObject {
    Q_OBJECT
private slots:
    void readsText_data();
    void readsText();
    void readsColoursAndGroupScopes();
    void readsFontTableAndSizes();
    void chunkBoundariesDoNotMatter();
    void writesClassicEmptyDocument();
    void writesColouredEntryWithDefaultFinalMark();
    void writesEscapesAndUnicode_data();
    void writesEscapesAndUnicode();
    void writeThenReadGivesTheSameDocument();
    void hostileInputIsReadSafely_data();
    void hostileInputIsReadSafely();
    void randomInputIsReadSafely();
};

void TestRtfReaderWriter::readsText_data()
{
    QTest::addColumn<QString>("rtf");
    QTest::addColumn<QString>("expected");
    QTest::newRow("simple") << "{\\rtf1 Hello}"
                            << "Hello";
    QTest::newRow("space after word eaten") << "{\\rtf1\\b bold\\b0  x}"
                                            << "bold x";
    QTest::newRow("CR LF ignored, end words") << "{\\rtf1 a\r\nb\\par\r\nc}"
                                              << "ab\r\nc";
    QTest::newRow("symbols keep spaces") << "{\\rtf1 \\\\ \\{ \\}}"
                                         << "\\ { }";
    QTest::newRow("cp1252 hex") << "{\\rtf1\\ansi\\ansicpg1252 caf\\'e9 \\'80\\'96}" << QString::fromUtf8("café €–");
    QTest::newRow("invalid hex") << "{\\rtf1 a\\'zzb\\'4}"
                                 << "azzb";
    QTest::newRow("unicode skip") << "{\\rtf1 \\u233?x\\uc2\\u8364 XXy{\\uc0\\u65 B}}" << QString::fromUtf8("éx€yAB");
    QTest::newRow("skip ends at group") << "{\\rtf1\\uc3\\u66{}x}"
                                        << "Bx";
    QTest::newRow("surrogate pair") << "{\\rtf1 \\u-10179?\\u-8704?}" << QString::fromUtf8("😀");
    QTest::newRow("line tab") << "{\\rtf1 a\\line b\\tab c}"
                              << "a\nb\tc";
    QTest::newRow("named chars") << "{\\rtf1 \\emdash\\endash\\bullet\\lquote\\rdblquote\\~}"
                                 << QString::fromUtf8("—–•‘”\u00a0");
    QTest::newRow("star destination") << "{\\rtf1 a{\\*\\unknown zzz{nested}}b}"
                                      << "ab";
    QTest::newRow("tables hidden") << "{\\rtf1{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red1\\green2\\blue3;}"
                                      "{\\stylesheet{Normal;}}{\\info{\\title t}}x}"
                                   << "x";
    QTest::newRow("pict and bin") << "{\\rtf1 a{\\pict\\bin4 }{}x}b}"
                                  << "ab";
    QTest::newRow("bin outside pict") << "{\\rtf1 a\\bin3 {{{b}"
                                      << "ab";
    QTest::newRow("field result") << "{\\rtf1 {\\field{\\*\\fldinst HYPERLINK \"x\"}{\\fldrslt link}} end}"
                                  << "link end";
    QTest::newRow("trailing par is final mark") << "{\\rtf1 a\\par}"
                                                << "a";
    QTest::newRow("empty last paragraph kept") << "{\\rtf1 a\\par\\par}"
                                               << "a\r\n";
    QTest::newRow("only par") << "{\\rtf1\\par\r\n}"
                              << "";
    QTest::newRow("par in group at end") << "{\\rtf1{\\pard a\\par}\r\n}"
                                         << "a";
    QTest::newRow("empty group keeps paragraph") << "{\\rtf1 a\\par{}}"
                                                 << "a\r\n";
    QTest::newRow("skipped group does not") << "{\\rtf1 a\\par\\pard{\\*\\themedata 00}}"
                                            << "a";
    QTest::newRow("text after document") << "{\\rtf1 a}junk{\\rtf1 b}"
                                         << "a";
    QTest::newRow("unknown word with param") << "{\\rtf1 a\\foo123 b\\bar-4c}"
                                             << "abc";
    QTest::newRow("backslash newline is par") << "{\\rtf1 a\\\nb}"
                                              << "a\r\nb";
    QTest::newRow("unclosed") << "{\\rtf1 a{\\b b"
                              << "ab";
}

void TestRtfReaderWriter::readsText()
{
    QFETCH(QString, rtf);
    QFETCH(QString, expected);
    QCOMPARE(plain(rtf), expected);
}

void TestRtfReaderWriter::readsColoursAndGroupScopes()
{
    const Document doc = read("{\\rtf1{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green0\\blue255;}"
                              "a\\cf1 b{\\cf2 c}d\\cf0 e\\cf9 f\\cf1\\par\r\ng}");
    QCOMPARE(doc.plainText(), QStringLiteral("abcdef\r\ng"));
    QCOMPARE(colorAt(doc, 0, 0), Color{});
    QCOMPARE(colorAt(doc, 0, 1), Color{0xFF0000});
    QCOMPARE(colorAt(doc, 0, 2), Color{0x0000FF});
    QCOMPARE(colorAt(doc, 0, 3), Color{0xFF0000});
    QCOMPARE(colorAt(doc, 0, 4), Color{});
    QCOMPARE(colorAt(doc, 0, 5), Color{}); // index beyond the table
    QCOMPARE(doc.markFormat(0).color, Color{0xFF0000});
    QCOMPARE(colorAt(doc, 1, 0), Color{0xFF0000});
    QCOMPARE(doc.markFormat(doc.paragraphCount() - 1), Document::defaultFormat());
}

void TestRtfReaderWriter::readsFontTableAndSizes()
{
    const Document doc = read("{\\rtf1\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Helvetica;}"
                              "\\f1\\fmodern Courier{\\*\\falt Cour};}\\f1\\fs28 x\\f0\\fs20 y}");
    QCOMPARE(doc.fonts().size(), size_t(2));
    QCOMPARE(doc.fonts()[0].name, QStringLiteral("Helvetica"));
    QCOMPARE(doc.fonts()[0].family, QStringLiteral("fswiss"));
    QCOMPARE(doc.fonts()[1].name, QStringLiteral("Courier"));
    const CharFormat x = doc.formatAt(0, 0);
    QCOMPARE(x.font, 1);
    QCOMPARE(x.sizeHalfPoints, 28);
    QCOMPARE(doc.formatAt(0, 1).sizeHalfPoints, 20);
}

void TestRtfReaderWriter::chunkBoundariesDoNotMatter()
{
    const Rope source = rtf_writer::write(sampleDocument());
    const QString text = source.toString();
    Document doc;
    RtfReader reader(doc, kFont);
    for (const QChar c : text)
        reader.feed(QStringView(&c, 1));
    reader.finish();
    QVERIFY(doc == RtfReader::read(source, kFont));
}

void TestRtfReaderWriter::writesClassicEmptyDocument()
{
    const Document doc = Document::empty(kFont);
    QCOMPARE(rtf_writer::write(doc).toString(),
             QStringLiteral("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 MS Sans Serif;}}\r\n"
                            "\\viewkind4\\uc1\\pard\\f0\\fs20\\par\r\n}\r\n"));
}

void TestRtfReaderWriter::writesColouredEntryWithDefaultFinalMark()
{
    Document doc = Document::empty(kFont);
    doc.appendText(u"A", Document::defaultFormat());
    CharFormat blue;
    blue.color = 0x5555FF;
    doc.ensureColor(blue.color);
    doc.endParagraph(blue);
    doc.appendText(u"B", blue); // the final mark is still written in the default format
    doc.commit();
    QCOMPARE(rtf_writer::write(doc).toString(),
             QStringLiteral("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 MS Sans Serif;}}\r\n"
                            "{\\colortbl ;\\red85\\green85\\blue255;}\r\n"
                            "\\viewkind4\\uc1\\pard\\f0\\fs20 A\\cf1\\par\r\n"
                            "B\\cf0\\par\r\n}\r\n"));
}

void TestRtfReaderWriter::writesEscapesAndUnicode_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("written");
    QTest::newRow("markup") << "a\\b{c}"
                            << " a\\\\b\\{c\\}";
    QTest::newRow("tab and breaks") << "a\tb\nc\rd"
                                    << " a\\tab b\\line c\\line d";
    QTest::newRow("latin") << QString::fromUtf8("é") << "\\u233?";
    QTest::newRow("above 32767 is negative") << QString(QChar(0xFFFD)) << "\\u-3?";
    QTest::newRow("surrogates as two") << QString::fromUtf8("😀") << "\\u-10179?\\u-8704?";
    QTest::newRow("control char") << QString(QChar(0x01)) << "\\'01";
    QTest::newRow("digits after word") << "\t1"
                                       << "\\tab 1";
}

void TestRtfReaderWriter::writesEscapesAndUnicode()
{
    QFETCH(QString, text);
    QFETCH(QString, written);
    Document doc = Document::empty(kFont);
    doc.appendText(text, Document::defaultFormat());
    doc.commit();
    const QString source = rtf_writer::write(doc).toString();
    const QString body = source.mid(source.indexOf(u"\\fs20") + 5);
    QCOMPARE(body, written + QStringLiteral("\\par\r\n}\r\n"));
    QCOMPARE(RtfReader::read(Rope(source), kFont).plainText(), QString(text).replace(u'\r', u'\n'));
}

void TestRtfReaderWriter::writeThenReadGivesTheSameDocument()
{
    const Document doc = sampleDocument(u"line\nbreak\nhere"_qs); // line breaks read back as LF
    const Document back = RtfReader::read(rtf_writer::write(doc), kFont);
    QCOMPARE(back.plainText(), doc.plainText());
    QVERIFY(back == doc);
    QCOMPARE(rtf_writer::write(back), rtf_writer::write(doc));
}

void TestRtfReaderWriter::hostileInputIsReadSafely_data()
{
    QTest::addColumn<QString>("rtf");
    QTest::addColumn<QString>("expected");
    QTest::newRow("million deep") << QString(1000000, u'{') + u"x"_qs + QString(1000000, u'}') + u"y"_qs << QString();
    QTest::newRow("deep then text") << u"{\\rtf1 a"_qs + QString(300, u'{') + u"hidden"_qs + QString(300, u'}')
            + u"b}"_qs << "ab";
    QTest::newRow("only closing") << QString(100000, u'}') << QString();
    QTest::newRow("huge params") << "{\\rtf1\\fs99999999999999999999 a\\cf-99999999999999 b\\uc999999\\u99999999999 c}"
                                 << QString::fromUtf8("ab\uFFFD");
    QTest::newRow("negative bin") << "{\\rtf1\\bin-5 a}"
                                  << "a";
    QTest::newRow("bin beyond input") << "{\\rtf1 a\\bin999999999 bcd"
                                      << "a";
    QTest::newRow("lone surrogate") << "{\\rtf1 \\u-10179?x}" << QString(QChar(0xD83D)) + u"x"_qs;
    QTest::newRow("endless word") << "{\\rtf1 \\" + QString(100000, u'a') + u" b}"_qs << "b";
    QTest::newRow("endless digits") << "{\\rtf1 \\u" + QString(100000, u'9') + u" ?b}"_qs
                                    << QString::fromUtf8("\uFFFDb");
    QTest::newRow("dangling backslash") << "{\\rtf1 a\\"
                                        << "a";
    QTest::newRow("dangling hex") << "{\\rtf1 a\\'f"
                                  << "a";
}

void TestRtfReaderWriter::hostileInputIsReadSafely()
{
    QFETCH(QString, rtf);
    QFETCH(QString, expected);
    QCOMPARE(plain(rtf), expected);
}

// Random mixtures of RTF tokens: no crash, and what we write from the result
// reads back to the same document.
void TestRtfReaderWriter::randomInputIsReadSafely()
{
    const QStringList tokens = {"{",
                                "}",
                                "\\par ",
                                "\\cf1 ",
                                "\\cf2",
                                "\\u-10179?",
                                "\\'e9",
                                "\\'",
                                "\\bin2 ",
                                "{\\colortbl;\\red9\\green8\\blue7;}",
                                "{\\fonttbl{\\f1 X;}}",
                                "\\f1 ",
                                "\\*",
                                "\\uc0",
                                "\\line",
                                "\\tab",
                                "x",
                                " ",
                                "\r\n",
                                "\\\\",
                                "\\b",
                                "\\i0",
                                "\\fs-3 ",
                                "{\\pict ab}",
                                "\\rtf1",
                                "\\u",
                                "\\-",
                                "\\ul ",
                                "\\plain "};
    QRandomGenerator rng(42);
    for (int round = 0; round < 2000; ++round) {
        QString rtf = "{\\rtf1 ";
        const int count = rng.bounded(1, 60);
        for (int i = 0; i < count; ++i)
            rtf += tokens[rng.bounded(tokens.size())];
        const Document doc = read(rtf);
        const Document again = RtfReader::read(rtf_writer::write(doc), kFont);
        if (!(again == doc))
            QFAIL(qPrintable("write/read changed the document of: " + rtf));
    }
}

QTEST_APPLESS_MAIN(TestRtfReaderWriter)
#include "test_rtf_reader_writer.moc"
