#include "messages/rtf_literal.h"
#include "messages/transcript.h"
#include "rich_text/rtf_reader.h"
#include "rich_text/rtf_writer.h"
#include "rich_text/text_model.h"
#include "support/rich_text_access.h"
#include "support/shown_literally.h"
#include "support/transcript_writer.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>

using namespace rich_text;

namespace {

constexpr quint32 kBlueRgb = 0x5555FF;

using Transcript = transcript::Writer<TextModel>;

bool incremental(const TextModel &m) { return TextModelTestAccess::lastLoadIncremental(m); }

bool isBlue(const TextModel &m, qint64 pos) { return m.colorAt(pos) == Color{kBlueRgb}; }

// Every position in [from, from + count) has (or lacks) the received colour.
bool allBlue(const TextModel &m, qint64 from, qint64 count, bool blue)
{
    for (qint64 p = from; p < from + count; ++p) {
        if (isBlue(m, p) != blue)
            return false;
    }
    return true;
}

QString randomMessage(QRandomGenerator &rng)
{
    static const QStringList pieces = {"\\",
                                       "{",
                                       "}",
                                       "\r\n",
                                       "\r",
                                       "\n",
                                       "\t",
                                       QString(QChar(0x01)),
                                       QString(QChar(0x7F)),
                                       QString(QChar(0x00)),
                                       QString::fromUtf8("😀"),
                                       QString::fromUtf8("é"),
                                       QString(QChar(0xD800)),
                                       "\\par",
                                       " "};
    QString msg;
    const int length = rng.bounded(0, 12);
    for (int i = 0; i < length; ++i) {
        if (rng.bounded(3) == 0)
            msg += pieces[rng.bounded(pieces.size())];
        else
            msg += QChar(u'a' + rng.bounded(26));
    }
    return msg;
}

// A control that only records where the transcript puts the selection, over
// a plain text longer than 2^31 characters that costs a few shared chunks.
struct SelectionRecorder {
    Rope plain;
    qint64 selStart = -1;
    qint64 selLength = -1;
    Rope text() const { return plain; }
    void setText(const Rope &text) { plain = text; }
    Rope textRtf() const { return plain; }
    void setTextRtf(const Rope &) { }
    void setSelStart(qint64 start) { selStart = start; }
    void setSelLength(qint64 length) { selLength = length; }
    void setSelColor(quint32) { }
};

} // namespace

class TestTextModel : public QObject {
    Q_OBJECT
private slots:
    void setTextKeepsTheStringExactly_data();
    void setTextKeepsTheStringExactly();
    void setTextDoesNotCopyTheRope();
    void sourceEndsWithBraceCrLf_data();
    void sourceEndsWithBraceCrLf();
    void selectionIsClamped_data();
    void selectionIsClamped();
    void selColorColoursCharactersAndBreaks();
    void transcriptEntries_data();
    void transcriptEntries();
    void sentEntryAfterReceivedIsNotColoured();
    void positionsPast32BitsStayWhole();
    void markupInMessagesIsShownLiterally();
    void appendsAreReadIncrementally();
    void appendReadsLittleOfALongSource();
    void appendsNeitherParseNorWriteTheirText();
    void aHeldSourceKeepsWhatItSaid();
    void incrementalAndFullReadsAgree();
    void foreignOrStaleSourcesAreReadInFull();
    void tenThousandRandomEntriesRoundTrip();
    void everyChangeIsToldOnceWithWhatChanged();
};

void TestTextModel::setTextKeepsTheStringExactly_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("paragraphs");
    QTest::newRow("empty") << "" << 1;
    QTest::newRow("crlf splits") << "a\r\nb\r\n" << 3;
    QTest::newRow("lone cr and lf stay") << "a\rb\nc" << 1;
    QTest::newRow("cr before crlf") << "a\r\r\nb" << 2;
    QTest::newRow("lf cr is two breaks in one paragraph") << "\n\r" << 1;
    QTest::newRow("rtf is not parsed") << "{\\rtf1 x\\par}" << 1;
}

void TestTextModel::setTextKeepsTheStringExactly()
{
    QFETCH(QString, text);
    QFETCH(int, paragraphs);
    TextModel m;
    m.setText(text);
    QCOMPARE(m.text().toString(), text);
    m.load();
    QCOMPARE(int(m.document().paragraphCount()), paragraphs);
    QCOMPARE(m.text().toString(), text); // still exact once structured
    QCOMPARE(m.document().plainLength(), text.size());
}

void TestTextModel::setTextDoesNotCopyTheRope()
{
    TextModel m;
    const Rope source = m.textRtf();
    m.setText(source);
    qint64 compared = -1;
    QVERIFY(m.text().samePrefix(source, source.length(), &compared));
    QCOMPARE(compared, 0); // one and the same tree
}

void TestTextModel::sourceEndsWithBraceCrLf_data()
{
    QTest::addColumn<QString>("plain");
    QTest::newRow("empty") << "";
    QTest::newRow("text") << "hello";
    QTest::newRow("trailing break") << "a\r\n";
    QTest::newRow("braces") << "}\r\n}";
}

void TestTextModel::sourceEndsWithBraceCrLf()
{
    QFETCH(QString, plain);
    TextModel m;
    m.setText(plain);
    m.load();
    m.setText(m.textRtf());
    const QString source = m.text().toString();
    QVERIFY(source.endsWith(u"}\r\n"));
    QVERIFY(source.startsWith(u"{\\rtf1"));
    m.setTextRtf(m.text());
    QCOMPARE(m.text().toString(), plain);
}

void TestTextModel::selectionIsClamped_data()
{
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<qint64>("expectedStart");
    QTest::addColumn<qint64>("expectedLength");
    QTest::newRow("inside") << qint64(2) << qint64(3) << qint64(2) << qint64(3);
    QTest::newRow("negative start") << qint64(-4) << qint64(2) << qint64(0) << qint64(2);
    QTest::newRow("start beyond") << qint64(99) << qint64(2) << qint64(7) << qint64(0);
    QTest::newRow("length beyond") << qint64(5) << qint64(99) << qint64(5) << qint64(2);
    QTest::newRow("negative length") << qint64(1) << qint64(-1) << qint64(1) << qint64(0);
}

void TestTextModel::selectionIsClamped()
{
    QFETCH(qint64, start);
    QFETCH(qint64, length);
    QFETCH(qint64, expectedStart);
    QFETCH(qint64, expectedLength);
    TextModel m;
    m.setText(u"abc\r\nde");
    m.setSelLength(3);
    m.setSelStart(start);
    QCOMPARE(m.selLength(), 0); // a new start is an insertion point
    m.setSelLength(length);
    QCOMPARE(m.selStart(), expectedStart);
    QCOMPARE(m.selLength(), expectedLength);
}

void TestTextModel::selColorColoursCharactersAndBreaks()
{
    TextModel m;
    m.setText(u"ab\r\ncd\r\nef");
    m.setSelStart(3);  // second position of the first break
    m.setSelLength(3); // break, 'c', 'd'
    m.setSelColor(0x112233);
    QCOMPARE(m.colorAt(1), Color{});
    QCOMPARE(m.colorAt(2), Color{0x112233}); // the whole break takes the colour
    QCOMPARE(m.colorAt(3), Color{0x112233});
    QCOMPARE(m.colorAt(4), Color{0x112233});
    QCOMPARE(m.colorAt(5), Color{0x112233});
    QCOMPARE(m.colorAt(6), Color{});
    QCOMPARE(m.colorAt(8), Color{});
    QCOMPARE(m.document().markFormat(0).color, Color{0x112233});
    QCOMPARE(m.document().markFormat(1).color, Color{});
    QVERIFY(m.textRtf().toString().contains(u"{\\colortbl ;\\red17\\green34\\blue51;}"));
}

void TestTextModel::transcriptEntries_data()
{
    QTest::addColumn<QStringList>("entries"); // "S:text" sent, "R:text" received
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<qint64>("selStart");
    QTest::addColumn<qint64>("selLength");
    QTest::newRow("sent A received B") << QStringList{"S:A", "R:B"} << "\r\nA\r\nB" << qint64(3) << qint64(3);
    QTest::newRow("received 4 on fresh") << QStringList{"R:abcd"} << "\r\nabcd" << qint64(0) << qint64(6);
    QTest::newRow("sent 3 received 4") << QStringList{"S:abc", "R:defg"} << "\r\nabc\r\ndefg" << qint64(5) << qint64(6);
    QTest::newRow("empty received") << QStringList{"S:x", "R:"} << "\r\nx\r\n" << qint64(3) << qint64(2);
    QTest::newRow("received twice") << QStringList{"R:a", "R:bc"} << "\r\na\r\nbc" << qint64(3) << qint64(4);
}

void TestTextModel::transcriptEntries()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, expectedText);
    QFETCH(qint64, selStart);
    QFETCH(qint64, selLength);
    TextModel m;
    Transcript t(m);
    for (const QString &e : entries)
        e.startsWith(u"S:") ? t.sent(e.mid(2)) : t.received(e.mid(2));
    QCOMPARE(m.text().toString(), expectedText);
    QCOMPARE(m.selStart(), selStart);
    QCOMPARE(m.selLength(), selLength);
    QVERIFY(allBlue(m, selStart, selLength, true));
    const bool earlierAllSent
        = std::all_of(entries.begin(), entries.end() - 1, [](const QString &e) { return e.startsWith(u"S:"); });
    if (earlierAllSent)
        QVERIFY(allBlue(m, 0, selStart, false));
    QVERIFY(incremental(m));
}

void TestTextModel::positionsPast32BitsStayWhole()
{
    SelectionRecorder control;
    control.plain = Rope(u"0123456789abcdef"_qs);
    while (control.plain.length() <= (qint64(1) << 31))
        control.plain += control.plain;
    double posTexto = 2147483648.0;
    messages::AgregarRecibido(control, posTexto, u"hola"_qs, transcript::kReceivedBgr);
    QCOMPARE(control.selStart, qint64(2147483648));
    QCOMPARE(control.selLength, qint64(6));
    QCOMPARE(posTexto, 2147483654.0);
    messages::CursorAlFinal(control);
    QCOMPARE(control.selStart, control.plain.length());
}

void TestTextModel::sentEntryAfterReceivedIsNotColoured()
{
    TextModel m;
    Transcript t(m);
    t.received(u"hi"_qs);
    t.sent(u"yes"_qs);
    QCOMPARE(m.text().toString(), u"\r\nhi\r\nyes"_qs);
    QVERIFY(allBlue(m, 0, 4, true));
    QVERIFY(allBlue(m, 4, 5, false));
    QVERIFY(m.textRtf().toString().endsWith(u"yes\\par\r\n}\r\n"));
    t.cursorToEnd();
    QCOMPARE(m.selStart(), m.text().length());
    QCOMPARE(m.selLength(), 0);
}

void TestTextModel::markupInMessagesIsShownLiterally()
{
    TextModel m;
    Transcript t(m);
    const QString nasty = u"}\\par{\\b x}\\'41\\u65?{\\rtf1 z}"_qs;
    t.received(nasty);
    t.sent(nasty);
    QCOMPARE(m.text().toString(), u"\r\n"_qs + nasty + u"\r\n"_qs + nasty);
}

void TestTextModel::appendsAreReadIncrementally()
{
    TextModel m;
    Transcript t(m);
    t.sent(u"one"_qs);
    QVERIFY(incremental(m));
    t.received(u"two"_qs);
    QVERIFY(incremental(m));
    // Plain setText calls in between do not disturb the structured document.
    const Rope source = m.textRtf();
    m.setText(source);
    m.setText(u"scratch"_qs);
    QCOMPARE(m.text().toString(), u"scratch"_qs);
    m.setTextRtf(source.left(source.length() - 3) + Rope(u"x}"));
    QVERIFY(incremental(m));
    QCOMPARE(m.text().toString(), u"\r\none\r\ntwo\r\nx"_qs);
}

// The fast path of an append: the model finds its own source in the one it is
// given by the subtrees they share, so each append reads a bounded number of
// characters however long the transcript has grown.
void TestTextModel::appendReadsLittleOfALongSource()
{
    constexpr qint64 kMostComparedPerAppend = 8192;
    TextModel m;
    Transcript t(m);
    const QString message = QString(200, u'x');
    qint64 mostCompared = 0;
    for (int i = 0; i < 1000; ++i) {
        i % 2 ? t.received(message) : t.sent(message);
        QVERIFY(incremental(m));
        mostCompared = std::max(mostCompared, TextModelTestAccess::charsCompared(m));
    }
    QVERIFY(m.textRtf().length() > 20 * kMostComparedPerAppend);
    QVERIFY2(mostCompared < kMostComparedPerAppend,
             qPrintable(QStringLiteral("%1 characters read in one append").arg(mostCompared)));
}

// The fast path of a flood: a message's escaping is taken as the text it
// shows, not parsed, and the source is never written out as characters
// while the chat only appends and colours, nor is the text read to learn how
// long the source writes it; read, the source is what the writer writes.
void TestTextModel::appendsNeitherParseNorWriteTheirText()
{
    constexpr qint64 kMostParsedPerAppend = 8; // the break before a received entry and the closing brace
    TextModel m;
    Transcript t(m);
    QString message;
    for (int i = 0; message.size() < 16384; ++i)
        message += QStringLiteral("%1 {\\par} \t\r\n\x01 señor € 😀 \tx\ny\r").arg(i);
    qint64 mostParsed = 0;
    for (int i = 0; i < 40; ++i) {
        i % 3 ? t.received(message) : t.sent(message);
        QVERIFY(incremental(m));
        mostParsed = std::max(mostParsed, TextModelTestAccess::charsParsed(m));
        QVERIFY2(!TextModelTestAccess::sourceWritten(m), qPrintable(QStringLiteral("written at entry %1").arg(i)));
    }
    QVERIFY2(mostParsed <= kMostParsedPerAppend, qPrintable(QStringLiteral("%1 characters parsed").arg(mostParsed)));
    QCOMPARE(TextModelTestAccess::charsCounted(m), 0);
    QCOMPARE(m.textRtf().toString(), rtf_writer::write(m.document()).toString());
    QVERIFY(RtfReader::read(m.textRtf(), u"MS Sans Serif"_qs) == m.document());
}

// A source handed out says what it said then, whatever the document does
// afterwards: appended to, coloured, or replaced.
void TestTextModel::aHeldSourceKeepsWhatItSaid()
{
    TextModel m;
    Transcript t(m);
    t.received(u"uno"_qs);
    t.sent(u"dos"_qs);
    const Rope held = m.textRtf();
    const QString said = rtf_writer::write(m.document()).toString();
    t.received(u"tres"_qs); // colours the break before it, the one the held source ends with
    QCOMPARE(held.toString(), said);
    const Rope heldAgain = m.textRtf();
    const QString saidAgain = rtf_writer::write(m.document()).toString();
    m.setText(u"otra cosa"_qs);
    m.load();
    QCOMPARE(heldAgain.toString(), saidAgain);
    QCOMPARE(m.textRtf().toString(), rtf_writer::write(m.document()).toString());
}

// After each append, the live document equals a fresh full read of the very
// source that was appended to, paragraph by paragraph and format by format.
void TestTextModel::incrementalAndFullReadsAgree()
{
    TextModel m;
    QRandomGenerator rng(3);
    auto appendAndCompare = [&m](const Rope &tail) {
        const Rope source = m.textRtf();
        const Rope extended = source.left(source.length() - 3) + tail + Rope(u"}");
        m.setText(source);
        m.setTextRtf(extended);
        QVERIFY(incremental(m));
        QVERIFY(RtfReader::read(extended, u"MS Sans Serif"_qs) == m.document());
        QCOMPARE(m.text().toString(), m.document().plainText());
    };
    qint64 pos = 0;
    for (int i = 0; i < 300; ++i) {
        const QString msg = randomMessage(rng);
        if (rng.bounded(2)) {
            pos += msg.size() + 2;
            appendAndCompare(messages::rtfLiteral(msg));
        } else {
            appendAndCompare(Rope("\r\n") + messages::rtfLiteral(msg));
            m.setSelStart(pos);
            m.setSelLength(msg.size() + 2);
            m.setSelColor(kBlueRgb);
            pos += msg.size() + 2;
        }
        if (QTest::currentTestFailed())
            return;
    }
    QCOMPARE(rtf_writer::write(m.document()), m.textRtf());
    // Markup beyond what the chat appends is read the same way too.
    appendAndCompare(Rope(u"{\\colortbl ;\\red1\\green2\\blue3;}\\cf1 x\\par y{\\fonttbl{\\f7 Z;}}\\f7 z"_qs));
    appendAndCompare(Rope(u"\\par\\par"_qs));
    appendAndCompare(Rope());
}

void TestTextModel::foreignOrStaleSourcesAreReadInFull()
{
    TextModel m;
    Transcript t(m);
    t.received(u"a"_qs);
    const Rope source = m.textRtf();
    // The same text in a rope of its own is recognised, but only by reading it all.
    m.setTextRtf(Rope(source.toString()));
    QVERIFY(incremental(m));
    QCOMPARE(TextModelTestAccess::charsCompared(m), source.length() - 3);
    // A source written before the document changed.
    const Rope old = m.textRtf();
    m.setSelStart(0);
    m.setSelLength(1);
    m.setSelColor(0x010203);
    m.setTextRtf(old.left(old.length() - 3) + Rope(u"x}"));
    QVERIFY(!incremental(m));
    QCOMPARE(m.text().toString(), u"\r\na\r\nx"_qs);
    QVERIFY(allBlue(m, 0, 3, true));
    // A source cut before its final paragraph mark.
    const Rope now = m.textRtf();
    m.setTextRtf(now.left(now.length() - 10) + Rope(u"}"));
    QVERIFY(!incremental(m));
}

// Random entries through the chat's own append sequence: afterwards the text
// is exactly what was sent and received, received entries (and their breaks)
// blue, sent ones never.
void TestTextModel::tenThousandRandomEntriesRoundTrip()
{
    QElapsedTimer timer;
    timer.start();
    TextModel m;
    Transcript t(m);
    QRandomGenerator rng(20240607);
    QString expected;
    struct Entry {
        qint64 start;
        qint64 length;
        bool received;
    };
    std::vector<Entry> entries;
    for (int i = 0; i < 10000; ++i) {
        const QString msg = randomMessage(rng);
        const bool received = rng.bounded(2) == 1;
        entries.push_back({expected.size(), msg.size() + 2, received});
        expected += u"\r\n"_qs + support::shownLiterally(msg);
        received ? t.received(msg) : t.sent(msg);
        if (!incremental(m))
            QFAIL(qPrintable(QStringLiteral("entry %1 was read in full").arg(i)));
    }
    QCOMPARE(m.text().toString(), expected);
    for (const Entry &e : entries) {
        if (!allBlue(m, e.start, e.length, e.received))
            QFAIL(qPrintable(QStringLiteral("wrong colour in entry at %1").arg(e.start)));
    }
    QVERIFY(RtfReader::read(m.textRtf(), u"MS Sans Serif"_qs) == m.document());
    qInfo("10000 entries in %lld ms", qint64(timer.elapsed()));
}

// The one who shows the model hears of each change once, at its end, with
// the first paragraph it changed; plain text is told of when it is loaded.
void TestTextModel::everyChangeIsToldOnceWithWhatChanged()
{
    TextModel m;
    std::vector<std::optional<size_t>> told;
    m.setChangeHandler([&](const TextModel::Change &change) { told.push_back(change.paragraphsFrom); });
    using Told = std::vector<std::optional<size_t>>;
    m.setTextRtf(Rope(u"{\\rtf1 uno\\par dos\\par tres}"_qs));
    QCOMPARE(told, Told{0});
    told.clear();
    m.setSelection(5, 3);
    m.setSelColor(kBlueRgb);
    QCOMPARE(told, (Told{std::nullopt, 1}));
    told.clear();
    m.setText(u"a\r\nb"_qs);
    QCOMPARE(told, Told{std::nullopt});
    m.load();
    m.load();
    QCOMPARE(told, (Told{std::nullopt, 0}));
}

QTEST_APPLESS_MAIN(TestTextModel)
#include "test_text_model.moc"
