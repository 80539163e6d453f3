// The transcript beyond its memory: text neither recent nor in use goes to a
// temporary file and comes back when read, with every answer the same as a
// transcript kept whole in memory; appending and showing the end read nothing
// back; and a program killed while its text is out leaves nothing behind.
#include "support/rich_text_access.h"
#include "support/transcript_writer.h"

#include "rich_text/accessible_rich_text_box.h"
#include "rich_text/clipboard_text.h"
#include "rich_text/rich_text_box.h"
#include "rich_text/spill_file.h"
#include "rich_text/text_memory.h"
#include "rich_text/write_behind.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QMimeData>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#endif

using rich_text::RichTextBox;
using rich_text::TextMemory;
using Transcript = transcript::Writer<RichTextBox>;

namespace {

// Small enough that a few megabytes of transcript are mostly in the file,
// with room for the pages that appending uses (the tables' last pages and
// the line index's upper levels).
constexpr TextMemory::Budget kSmall{64 * 1024, 1024 * 1024};

// What peers send, every kind of it: Latin and Spanish, Hebrew and Chinese
// (two bytes a character), emoji, RTF's own markup, control characters, CR LF
// in runs, lone line breaks, and lines longer than a piece of the view. In
// Latin text a rare euro sign, kept apart from a page of one byte a character.
QString message(QRandomGenerator &random, bool latin = false)
{
    if (latin) {
        QString text;
        for (int i = random.bounded(40); i >= 0; --i)
            text += random.bounded(60) == 0 ? QStringLiteral("€ ") : QStringLiteral("año, pingüino y café; ");
        return text;
    }
    static const QStringList pieces = {QStringLiteral("señor Núñez, ¿qué tal? "),
                                       QStringLiteral("שלום עולם "),
                                       QStringLiteral("你好，世界。"),
                                       QStringLiteral("😀 "),
                                       QStringLiteral("{\\rtf1 \\par} "),
                                       QStringLiteral("\r\n"),
                                       QStringLiteral("\r\n\r\n\r\n"),
                                       QStringLiteral("\n"),
                                       QStringLiteral("\r"),
                                       QStringLiteral("\t"),
                                       QString(QChar(0x01)),
                                       QStringLiteral("the quick brown fox jumps over the lazy dog ")};
    QString text;
    const int length = random.bounded(100) == 0 ? 600 : random.bounded(40);
    for (int i = 0; i < length; ++i)
        text += pieces[random.bounded(pieces.size())];
    return text;
}

struct Box {
    QWidget window;
    RichTextBox *box = new RichTextBox(&window);
    Transcript writer{*box};
    explicit Box(const TextMemory::Budget &budget)
    {
        box->model().memory()->setBudget(budget);
        window.resize(360, 300);
        box->setGeometry(0, 0, 360, 300);
        window.show();
    }
    const TextMemory::Counters &counters() const { return box->model().memory()->counters(); }
};

// The same entries into both boxes, a turn of the event loop now and then.
void fill(Box &a, Box &b, int entries, quint32 seed)
{
    QRandomGenerator random(seed);
    for (int i = 0; i < entries; ++i) {
        const QString text = message(random, i % 1000 < 400);
        for (Box *box : {&a, &b}) {
            if (i % 3 == 0) {
                box->writer.sent(text);
                box->writer.cursorToEnd();
            } else {
                box->writer.received(text);
            }
        }
        if (i % 200 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
}

// Positions spread over the whole text, the ends included.
std::vector<qint64> samplePositions(qint64 length, int count)
{
    std::vector<qint64> at{0, length};
    QRandomGenerator random(7);
    for (int i = 0; i < count; ++i)
        at.push_back(random.bounded(length + 1));
    return at;
}

QString clipboardText() { return QGuiApplication::clipboard()->text(); }

// Where the child of killedWhileSpillingLeavesNothing writes its file.
int runSpillingChild(const QString &directory)
{
    auto memory = TextMemory::make(kSmall, directory);
    rich_text::TextModel model(QStringLiteral("Sans"), memory);
    transcript::Writer<rich_text::TextModel> writer(model);
    const QString text(16 * 1024, QChar(u'x'));
    while (memory->counters().pagesStored < 40)
        writer.received(text);
    std::printf("spilled\n");
    std::fflush(stdout);
    for (;;)
        QThread::sleep(60); // until killed
}

} // namespace

class TestSpill : public QObject {
    Q_OBJECT
private slots:
    void aSpilledTranscriptAnswersAsOneInMemory();
    void appendingAndShowingTheEndReadNothingBack();
    void withoutRoomNothingIsLostAndItSpillsLater();
    void whatMemoryMayKnowOfTheFileIsBounded();
    void aDiskThatStallsHoldsUpNothing();
    void aDiskBehindTakesStretchesWholeOrNotAtAll();
    void aWordInALongSpilledParagraphReadsOnlyAroundIt();
    void killedWhileSpillingLeavesNothing();
};

void TestSpill::aSpilledTranscriptAnswersAsOneInMemory()
{
    Box spilled(kSmall);
    Box whole(TextMemory::Budget{qint64(1) << 40, qint64(1) << 40});
    fill(spilled, whole, 6000, 1);
    RichTextBox &s = *spilled.box;
    RichTextBox &w = *whole.box;
    QVERIFY2(s.model().document().spilledLength() > s.text().length() / 2, "the test needs most of it in the file");
    QCOMPARE(whole.counters().pagesStored, 0);
    QVERIFY(spilled.box->model().memory()->listedBytes() <= kSmall.loadedPages);

    // Text, source and positions.
    const qint64 length = w.text().length();
    QCOMPARE(s.text().length(), length);
    QVERIFY(s.text().toString() == w.text().toString());
    QVERIFY(s.textRtf().toString() == w.textRtf().toString());
    QCOMPARE(s.selStart(), w.selStart());
    QCOMPARE(s.selLength(), w.selLength());
    const rich_text::Document &sd = s.document();
    const rich_text::Document &wd = w.document();
    QCOMPARE(sd.paragraphCount(), wd.paragraphCount());
    for (size_t p = 0; p < wd.paragraphCount(); ++p)
        QCOMPARE(sd.paragraphStart(p), wd.paragraphStart(p));

    // Colours and lines as the view wraps them, anywhere.
    for (const qint64 at : samplePositions(length, 400)) {
        QCOMPARE(s.colorAt(at), w.colorAt(at));
        const RichTextBox::LineSpan a = s.lineAt(at);
        const RichTextBox::LineSpan b = w.lineAt(at);
        QCOMPARE(a.start, b.start);
        QCOMPARE(a.end, b.end);
    }

    // The screen reader's lines and words.
    QAccessibleTextInterface *sa = QAccessible::queryAccessibleInterface(&s)->textInterface();
    QAccessibleTextInterface *wa = QAccessible::queryAccessibleInterface(&w)->textInterface();
    QCOMPARE(sa->characterCount(), wa->characterCount());
    for (const qint64 at : samplePositions(wa->characterCount() - 1, 100)) {
        int s0 = 0, s1 = 0, w0 = 0, w1 = 0;
        for (const auto boundary : {QAccessible::LineBoundary, QAccessible::WordBoundary}) {
            QCOMPARE(sa->textAtOffset(int(at), boundary, &s0, &s1), wa->textAtOffset(int(at), boundary, &w0, &w1));
            QCOMPARE(s0, w0);
            QCOMPARE(s1, w1);
        }
    }

    // A selection made far back, copied; then everything, copied.
    for (RichTextBox *box : {&s, &w})
        box->select(length / 5, length / 5 + 100000);
    QCOMPARE(s.selectedText(), w.selectedText());
    s.setFocus();
    s.copy();
    const QString copied = clipboardText();
    w.copy();
    QCOMPARE(copied, clipboardText());
    for (RichTextBox *box : {&s, &w}) {
        box->selectAll();
        box->copy();
        QCOMPARE(clipboardText(), rich_text::ClipboardText::plainText(w.text()));
    }

    // Scrolled to the start, the view shows the same lines, read back from the file.
    const qint64 loadedBefore = spilled.counters().pagesLoaded;
    for (RichTextBox *box : {&s, &w}) {
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Home, Qt::ControlModifier);
    }
    const auto shownS = rich_text::paintAndHeld(s);
    const auto shownW = rich_text::paintAndHeld(w);
    QCOMPARE(shownS.size(), shownW.size());
    for (size_t i = 0; i < shownS.size(); ++i)
        QCOMPARE(shownS[i].text, shownW[i].text);
    QVERIFY(spilled.counters().pagesLoaded > loadedBefore);
}

// Guards the fast paths: an entry appended, and the view painting the end,
// read no page back from the file, and what goes to the file is written once.
void TestSpill::appendingAndShowingTheEndReadNothingBack()
{
    Box spilled(kSmall);
    Box unused(kSmall);
    fill(spilled, unused, 3000, 2);
    QVERIFY(spilled.counters().pagesStored > 0);
    rich_text::paintAndHeld(*spilled.box);
    const TextMemory::Counters before = spilled.counters();
    const qint64 lengthBefore = spilled.box->text().length();
    QRandomGenerator random(3);
    for (int i = 0; i < 2000; ++i) {
        if (i % 2) {
            spilled.writer.sent(message(random));
            spilled.writer.cursorToEnd();
        } else {
            spilled.writer.received(message(random));
        }
        if (i % 50 == 0)
            rich_text::paintAndHeld(*spilled.box);
    }
    rich_text::paintAndHeld(*spilled.box);
    const TextMemory::Counters after = spilled.counters();
    QCOMPARE(after.pagesLoaded, before.pagesLoaded);
    QVERIFY(after.pagesStored > before.pagesStored);
    // The text written meanwhile is the text appended (at most two bytes a
    // character) and the tables' pages: nothing written before goes again.
    const qint64 appended = spilled.box->text().length() - lengthBefore;
    QVERIFY2(after.bytesStored - before.bytesStored < 2 * appended + 16 * 65536,
             qPrintable(QStringLiteral("%1 bytes written for %2 characters")
                            .arg(after.bytesStored - before.bytesStored)
                            .arg(appended)));
}

// A file that cannot be made (its folder is not there) stands for a full
// disk: the text stays in memory, whole, until the folder is there.
void TestSpill::withoutRoomNothingIsLostAndItSpillsLater()
{
    QTemporaryDir parent;
    const QString folder = parent.filePath(QStringLiteral("later"));
    {
        auto memory = TextMemory::make(kSmall, folder);
        rich_text::TextModel model(QStringLiteral("Sans"), memory);
        rich_text::TextModel reference(QStringLiteral("Sans"), TextMemory::make(TextMemory::Budget{1 << 30, 1 << 30}));
        transcript::Writer<rich_text::TextModel> a(model), b(reference);
        QRandomGenerator random(4);
        for (int i = 0; i < 2000; ++i) {
            const QString text = message(random);
            a.received(text);
            b.received(text);
        }
        QVERIFY(!model.canSpill());
        QCOMPARE(model.document().spilledLength(), 0);
        QVERIFY(!model.trySpill());
        QVERIFY(QDir().mkpath(folder));
        QTRY_VERIFY_WITH_TIMEOUT(model.trySpill(), 10000);
        QVERIFY(model.canSpill());
        QVERIFY(model.document().spilledLength() > 0);
        QVERIFY(model.text().toString() == reference.text().toString());
        QVERIFY(model.textRtf().toString() == reference.textRtf().toString());
#ifdef Q_OS_LINUX
        // Unnamed from the start here; on Windows it has a name until it closes.
        QVERIFY(QDir(folder).isEmpty());
#endif
    }
    QVERIFY(QDir(folder).isEmpty());
}

// Once memory knows of as many pages in the file as its budget allows, the
// file takes no more, and the text stays whole in memory, as without room on
// the disk.
void TestSpill::whatMemoryMayKnowOfTheFileIsBounded()
{
    TextMemory::Budget budget = kSmall;
    budget.fileIndex = 8 * TextMemory::kIndexBytesPerPage;
    auto memory = TextMemory::make(budget);
    rich_text::TextModel model(QStringLiteral("Sans"), memory);
    rich_text::TextModel reference(QStringLiteral("Sans"), TextMemory::make(TextMemory::Budget{1 << 30, 1 << 30}));
    transcript::Writer<rich_text::TextModel> a(model), b(reference);
    const QString text(16 * 1024, QChar(u'x'));
    for (int i = 0; i < 200; ++i) {
        a.received(text);
        b.received(text);
    }
    QVERIFY(model.spillFull());
    QVERIFY(!model.canSpill());
    QVERIFY(memory->counters().pagesStored <= 8);
    QVERIFY(model.text() == reference.text());
    QVERIFY(!model.trySpill());
}

// Writes wait in memory for a disk that stalls, and read back as last
// written, whole or in part, before and after the disk takes them; beyond
// the limit of what may wait, a write is not taken.
void TestSpill::aDiskThatStallsHoldsUpNothing()
{
    using rich_text::WriteBehind;
    QTemporaryDir folder;
    constexpr qint64 kPage = 65536;
    WriteBehind file(rich_text::SpillFile::create(folder.path()), 3 * kPage);
    auto page = [](char c) { return QByteArray(kPage, c); };
    auto readBack = [&](qint64 offset, qint64 size) {
        QByteArray bytes(size, Qt::Uninitialized);
        file.read(offset, bytes.data(), size);
        return bytes;
    };
    QCOMPARE(file.write(0, page('a').constData(), kPage), WriteBehind::Answer::Taken);
    QTRY_COMPARE_WITH_TIMEOUT(file.waitingBytes(), 0, 5000);
    file.hold(true);
    for (qint64 n = 1; n <= 4; ++n)
        QCOMPARE(file.write(n * kPage, page(char('a' + n)).constData(), kPage), WriteBehind::Answer::Taken);
    QCOMPARE(file.write(5 * kPage, page('f').constData(), kPage), WriteBehind::Answer::Busy);
    QCOMPARE(file.write(10, "XYZ", 3), WriteBehind::Answer::Busy);
    const QByteArray expected = page('a') + page('b') + page('c') + page('d') + page('e');
    for (int round = 0; round < 2; ++round) {
        QCOMPARE(readBack(0, 5 * kPage), expected);
        QCOMPARE(readBack(kPage - 2, 4), QByteArray("aabb"));
        QCOMPARE(readBack(3 * kPage, kPage), page('d'));
        file.hold(false);
        QTRY_COMPARE_WITH_TIMEOUT(file.waitingBytes(), 0, 5000);
    }
    // Written again in place while the disk stalls: the last write wins.
    file.hold(true);
    QCOMPARE(file.write(kPage + 1, "XYZ", 3), WriteBehind::Answer::Taken);
    QCOMPARE(file.write(kPage + 2, "Q", 1), WriteBehind::Answer::Taken);
    QCOMPARE(readBack(kPage, 5), QByteArray("bXQZb"));
    file.hold(false);
    QTRY_COMPARE_WITH_TIMEOUT(file.waitingBytes(), 0, 5000);
    QCOMPARE(readBack(kPage, 5), QByteArray("bXQZb"));
}

// While the disk is behind, a stretch of text waits in memory whole: none of
// its pages is written only to be let go, and the text is the same before
// and after the disk catches up.
void TestSpill::aDiskBehindTakesStretchesWholeOrNotAtAll()
{
    // Recent text enough for stretches of many pages.
    auto memory = TextMemory::make(TextMemory::Budget{4 << 20, 1 << 20});
    rich_text::TextModel model(QStringLiteral("Sans"), memory);
    rich_text::TextModel reference(QStringLiteral("Sans"), TextMemory::make(TextMemory::Budget{1 << 30, 1 << 30}));
    transcript::Writer<rich_text::TextModel> a(model), b(reference);
    memory->holdWrites(true);
    const QString text(16 * 1024, QChar(u'x'));
    for (int i = 0; i < 1000 && !memory->isBusy(); ++i) {
        a.received(text);
        b.received(text);
    }
    QVERIFY(memory->isBusy());
    QCOMPARE(memory->counters().pagesReleased, 0);
    QVERIFY(model.text() == reference.text());
    memory->holdWrites(false);
    QTRY_VERIFY_WITH_TIMEOUT(model.trySpill(), 10000);
    QCOMPARE(memory->counters().pagesReleased, 0);
    QVERIFY(model.text() == reference.text());
}

// A double click in a paragraph of millions of characters, nearly all in the
// file, selects its word and reads back only the pages around it.
void TestSpill::aWordInALongSpilledParagraphReadsOnlyAroundIt()
{
    Box spilled(kSmall);
    QString words;
    while (words.size() < 8 * 1024 * 1024)
        words += QStringLiteral("palabra ");
    spilled.writer.received(QStringLiteral("primera ") + words);
    QTRY_VERIFY_WITH_TIMEOUT(spilled.box->trySpill(), 10000); // as the window does, while the disk is behind
    QVERIFY(spilled.box->model().document().spilledLength() > words.size() / 2);
    RichTextBox &box = *spilled.box;
    box.setFocus();
    QTest::keyClick(&box, Qt::Key_Home, Qt::ControlModifier);
    rich_text::paintAndHeld(box);
    const qint64 loaded = spilled.counters().pagesLoaded;
    // The first line is the break before the entry; the word starts the second.
    const int second = rich_text::RichTextBoxTestAccess::shownLines(box).at(1).top;
    QTest::mouseDClick(box.viewport(), Qt::LeftButton, {}, QPoint(4, second + 2));
    QCOMPARE(box.selectedText(), QStringLiteral("primera"));
    QVERIFY2(spilled.counters().pagesLoaded - loaded <= 2,
             qPrintable(QString::number(spilled.counters().pagesLoaded - loaded)));
}

void TestSpill::killedWhileSpillingLeavesNothing()
{
#ifndef Q_OS_LINUX
    QSKIP("looks into the child's open files through /proc");
#else
    QTemporaryDir folder;
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--spill"), folder.path()});
    QVERIFY(child.waitForStarted(5000));
    QVERIFY(child.waitForReadyRead(60000));
    QCOMPARE(child.readAllStandardOutput(), QByteArray("spilled\n"));

    // The file is open in the child, in that folder, with no name in it, and
    // only its owner may read it.
    QVERIFY(QDir(folder.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    struct stat folderStat { };
    QCOMPARE(::stat(QFile::encodeName(folder.path()).constData(), &folderStat), 0);
    const QString fds = QStringLiteral("/proc/%1/fd").arg(child.processId());
    int spillFiles = 0;
    for (const QString &fd : QDir(fds).entryList(QDir::Files | QDir::System)) {
        const QString target = QFile::symLinkTarget(fds + u'/' + fd);
        if (!target.startsWith(folder.path()))
            continue;
        ++spillFiles;
        QVERIFY2(target.endsWith(QStringLiteral(" (deleted)")), qPrintable(target));
        struct stat file { };
        // The text reaches the file shortly after the child hands it over.
        QTRY_VERIFY_WITH_TIMEOUT(::stat(QFile::encodeName(fds + u'/' + fd).constData(), &file) == 0 && file.st_size > 0,
                                 10000);
        QCOMPARE(file.st_mode & 0777, mode_t(0600));
        QCOMPARE(file.st_dev, folderStat.st_dev);
        QCOMPARE(file.st_nlink, nlink_t(0));
    }
    QCOMPARE(spillFiles, 1);

    QCOMPARE(::kill(pid_t(child.processId()), SIGKILL), 0);
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QVERIFY(QDir(folder.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
#endif
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--spill") == 0) {
        QCoreApplication app(argc, argv);
        return runSpillingChild(QString::fromLocal8Bit(argv[2]));
    }
    QApplication app(argc, argv);
    TestSpill test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_spill.moc"
