#include "messages/rtf_literal.h"
#include "rich_text/text_model.h"
#include "support/shown_literally.h"
#include "support/transcript_writer.h"

#include <QTest>

using messages::rtfLiteral;
using support::shownLiterally;

class TestRtfLiteral : public QObject {
    Q_OBJECT
private slots:
    void escapes_data();
    void escapes();
    void everyUnitTakesOnePosition_data();
    void everyUnitTakesOnePosition();
};

void TestRtfLiteral::escapes_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("rtf");
    QTest::newRow("markup") << u"a\\b{c}"_qs << u"a\\\\b\\{c\\}"_qs;
    QTest::newRow("crlf") << u"a\r\nb"_qs << u"a\\par\r\nb"_qs;
    QTest::newRow("empty keeps its paragraph") << QString() << u"{}"_qs;
    QTest::newRow("trailing crlf too") << u"a\r\n"_qs << u"a\\par\r\n{}"_qs;
    QTest::newRow("lone cr and lf") << u"a\rb\nc\n\r"_qs << u"a\\line b\\line c\\line \\line "_qs;
    QTest::newRow("tab") << u"\tx"_qs << u"\\tab x"_qs;
    QTest::newRow("controls") << u"\x01\x1b\x7f"_qs << u"\\u9217?\\u9243?\\u9249?"_qs;
    QTest::newRow("c1 controls") << u"\u0080\u0085\u009f\u00a0"_qs << u"\\u9254?\\u9254?\\u9254?\\u160?"_qs;
    QTest::newRow("nul") << QString(QChar(0)) << u"\\u9216?"_qs;
    QTest::newRow("non-ascii signed") << u"\u00e9\uffff"_qs << u"\\u233?\\u-1?"_qs;
    QTest::newRow("surrogate pair") << u"\U0001F600"_qs << u"\\u-10179?\\u-8704?"_qs;
    QTest::newRow("unpaired") << QString(QChar(0xDC00)) + u"x"_qs + QChar(0xD800) << u"\\u-3?x\\u-3?"_qs;
}

void TestRtfLiteral::escapes()
{
    QFETCH(QString, message);
    QFETCH(QString, rtf);
    QCOMPARE(rtfLiteral(message).toString(), rtf);
}

void TestRtfLiteral::everyUnitTakesOnePosition_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("empty") << QString();
    QTest::newRow("markup") << u"}{\\\\par{\\rtf1 x}"_qs;
    QTest::newRow("breaks") << u"\r\n\r\r\n\n\n\r"_qs;
    QTest::newRow("ends with crlf") << u"x\r\n\r\n"_qs;
    QTest::newRow("only crlf") << u"\r\n"_qs;
    QTest::newRow("all controls") << [] {
        QString s;
        for (char16_t c = 0; c < 0xA0; ++c)
            s += QChar(c);
        return s;
    }();
    QTest::newRow("unicode") << u"\u00e9\U0001F600\uFFFD x"_qs + QChar(0xD800);
    QTest::newRow("leading space") << u"  two spaces"_qs;
}

// Sent and received through the control, each UTF-16 unit of the message is
// exactly one position of text().
void TestRtfLiteral::everyUnitTakesOnePosition()
{
    QFETCH(QString, message);
    rich_text::TextModel m;
    transcript::Writer<rich_text::TextModel> t(m);
    t.sent(message);
    t.received(message);
    const QString shown = shownLiterally(message);
    QCOMPARE(shown.size(), message.size());
    QCOMPARE(m.text().toString(), u"\r\n"_qs + shown + u"\r\n"_qs + shown);
    QCOMPARE(t.position(), m.text().length());
}

QTEST_APPLESS_MAIN(TestRtfLiteral)
#include "test_rtf_literal.moc"
