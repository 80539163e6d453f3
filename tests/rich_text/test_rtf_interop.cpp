// Our RTF against independent readers and writers (unrtf, pandoc). Skipped
// when the tools are not installed.

#include "rich_text/rtf_reader.h"
#include "rich_text/text_model.h"
#include "support/transcript_writer.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace rich_text;

namespace {

// External readers disagree on tabs, leading empty paragraphs and line
// wrapping, so texts are compared with whitespace runs collapsed.
QString collapsed(QString s)
{
    s.replace(QChar(0x00A0), u' ');
    return s.simplified();
}

QString run(const QString &program, const QStringList &args, const QByteArray &input = {})
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return {};
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(30000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

QString writeTranscript(TextModel &m, const QStringList &messages)
{
    transcript::Writer<TextModel> t(m);
    for (int i = 0; i < messages.size(); ++i)
        i % 2 ? t.received(messages[i]) : t.sent(messages[i]);
    return m.textRtf().toString();
}

} // namespace

class TestRtfInterop : public QObject {
    Q_OBJECT
private slots:
    void pandocReadsWhatWeWrite();
    void unrtfReadsWhatWeWrite();
    void weReadWhatPandocWrites();
};

void TestRtfInterop::pandocReadsWhatWeWrite()
{
    const QString pandoc = QStandardPaths::findExecutable(u"pandoc"_qs);
    if (pandoc.isEmpty())
        QSKIP("pandoc is not installed");
    TextModel m;
    // pandoc 2.17 also drops the character after each "\uN?" (it skips the
    // "?" and then one more), so its side of non-ASCII is checked in
    // weReadWhatPandocWrites only.
    const QString rtf
        = writeTranscript(m,
                          {u"plain words"_qs, u"{braces} and \\backslash\\"_qs, u"punctuation: ,.;:!?*#"_qs,
                           u"tab\there\r\nnew paragraph"_qs, u"line\nbreak"_qs});
    const QString out = run(pandoc, {u"-f"_qs, u"rtf"_qs, u"-t"_qs, u"plain"_qs, u"--wrap=none"_qs}, rtf.toUtf8());
    QCOMPARE(collapsed(out), collapsed(m.text().toString()));
}

void TestRtfInterop::unrtfReadsWhatWeWrite()
{
    const QString unrtf = QStandardPaths::findExecutable(u"unrtf"_qs);
    if (unrtf.isEmpty())
        QSKIP("unrtf is not installed");
    TextModel m;
    // unrtf's text output has no Unicode, so ASCII only.
    const QString rtf
        = writeTranscript(m, {u"hello there"_qs, u"{x} \\y\\ }"_qs, u"two\r\nparagraphs"_qs, u"line\nbreak"_qs});
    QTemporaryDir dir;
    QFile file(dir.filePath(u"t.rtf"_qs));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(rtf.toLatin1());
    file.close();
    QString out = run(unrtf, {u"--text"_qs, file.fileName()});
    // Drop unrtf's banner: everything up to its dashed separator line.
    const qsizetype separator = out.indexOf(u"-----------------\n"_qs);
    QVERIFY(separator >= 0);
    out = out.mid(out.indexOf(u'\n', separator) + 1);
    QCOMPARE(collapsed(out), collapsed(m.text().toString()));
}

void TestRtfInterop::weReadWhatPandocWrites()
{
    const QString pandoc = QStandardPaths::findExecutable(u"pandoc"_qs);
    if (pandoc.isEmpty())
        QSKIP("pandoc is not installed");
    // A raw RTF block lets pandoc's own colour table be used.
    const QByteArray markdown = "Hello *world* caf\xc3\xa9 {x} \\\\ back\n\n"
                                "Second **para** \xe2\x82\xac\n\n"
                                "```{=rtf}\n{\\cf1 red}\n```\n";
    const QString rtf = run(pandoc, {u"-s"_qs, u"-f"_qs, u"markdown"_qs, u"-t"_qs, u"rtf"_qs}, markdown);
    QVERIFY(rtf.startsWith(u"{\\rtf1"));
    const Document doc = RtfReader::read(Rope(rtf), u"MS Sans Serif"_qs);
    QCOMPARE(doc.paragraphCount(), size_t(3));
    QCOMPARE(doc.paragraphText(0), u"Hello world caf\u00e9 {x} \\ back"_qs);
    QCOMPARE(doc.paragraphText(1), u"Second para \u20ac"_qs);
    QCOMPARE(doc.paragraphText(2), u"red"_qs);
    QVERIFY(doc.formatAt(0, 6).italic);
    QVERIFY(!doc.formatAt(0, 0).italic);
    QVERIFY(doc.formatAt(1, 7).bold);
    QCOMPARE(doc.formatAt(2, 0).color, Color{0xFF0000});
    QCOMPARE(doc.formatAt(0, 0).color, Color{});
    QCOMPARE(doc.fonts().at(doc.formatAt(0, 0).font).name, u"Helvetica"_qs);
}

QTEST_APPLESS_MAIN(TestRtfInterop)
#include "test_rtf_interop.moc"
