// The transcript beyond its memory: text neither recent nor in use goes to a
// temporary file and comes back when read, with every answer the same as a
// transcript kept whole in memory; appending and showing the end read nothing
// back; a disk behind or refusing to write keeps the text in memory and
// catches up by itself; folders that cannot be used are said; and a program
// killed while its text is out leaves nothing behind.
#include "support/rich_text_access.h"
#include "support/transcript_writer.h"

#include "rich_text/accessible_rich_text_box.h"
#include "rich_text/clipboard_text.h"
#include "rich_text/file_writer.h"
#include "rich_text/rich_text_box.h"
#include "rich_text/spill_file.h"
#include "rich_text/text_memory.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QMimeData>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using rich_text::RichTextBox;
using rich_text::TextMemory;
using Transcript = transcript::Writer<RichTextBox>;

namespace {

// Small enough that a few megabytes of transcript are mostly in the file.
constexpr qint64 kSmall = 64 * 1024;
constexpr qint64 kWhole = qint64(1) << 40;

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
    explicit Box(qint64 recentText)
    {
        box->model().memory()->setRecentText(recentText);
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
    auto memory = TextMemory::make(kSmall, {directory});
    rich_text::TextModel model(QStringLiteral("Sans"), memory);
    transcript::Writer<rich_text::TextModel> writer(model);
    const QString text(16 * 1024, QChar(u'x'));
    while (memory->counters().bytesStored < 40 * 65536)
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
    void withoutAFolderNothingIsLostAndItSpillsLater();
    void theFolderIsTheFirstThatCanBeUsed();
    void aDiskThatStallsHoldsUpNothing();
    void aRefusedWriteIsTriedAgainByItself();
    void aWordInALongSpilledParagraphReadsOnlyAroundIt();
    void killedWhileSpillingLeavesNothing();
};

void TestSpill::aSpilledTranscriptAnswersAsOneInMemory()
{
    Box spilled(kSmall);
    Box whole(kWhole);
    fill(spilled, whole, 6000, 1);
    RichTextBox &s = *spilled.box;
    RichTextBox &w = *whole.box;
    QVERIFY2(s.model().document().spilledLength() > s.text().length() / 2, "the test needs most of it in the file");
    QCOMPARE(whole.counters().bytesStored, 0);

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
    QVERIFY(spilled.counters().bytesStored > 0);
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
    QVERIFY(after.bytesStored > before.bytesStored);
    // The text written meanwhile is the text appended (at most two bytes a
    // character) and the paragraph table's pages: nothing written before goes again.
    const qint64 appended = spilled.box->text().length() - lengthBefore;
    QVERIFY2(after.bytesStored - before.bytesStored < 2 * appended + 16 * 65536,
             qPrintable(QStringLiteral("%1 bytes written for %2 characters")
                            .arg(after.bytesStored - before.bytesStored)
                            .arg(appended)));
}

// A file that cannot be made (its folder is not there): the text stays in
// memory, whole, and the memory says which folder and why, until the folder
// is there.
void TestSpill::withoutAFolderNothingIsLostAndItSpillsLater()
{
    QTemporaryDir parent;
    const QString folder = parent.filePath(QStringLiteral("later"));
    {
        auto memory = TextMemory::make(kSmall, {folder});
        rich_text::TextModel model(QStringLiteral("Sans"), memory);
        rich_text::TextModel reference(QStringLiteral("Sans"), TextMemory::make(kWhole));
        transcript::Writer<rich_text::TextModel> a(model), b(reference);
        QRandomGenerator random(4);
        for (int i = 0; i < 2000; ++i) {
            const QString text = message(random);
            a.received(text);
            b.received(text);
        }
        QVERIFY(!model.trySpill());
        QCOMPARE(model.document().spilledLength(), 0);
        const TextMemory::Wait wait = memory->waiting();
        QCOMPARE(wait.reason, TextMemory::Wait::Reason::NoFolder);
        QCOMPARE(wait.folders.size(), size_t(1));
        QCOMPARE(wait.folders[0].folder, folder);
        QCOMPARE(wait.folders[0].problem, rich_text::SpillFile::Problem::Missing);
        QVERIFY(QDir().mkpath(folder));
        QTRY_VERIFY_WITH_TIMEOUT(model.trySpill(), 10000);
        QCOMPARE(memory->waiting().reason, TextMemory::Wait::Reason::None);
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

// TMPDIR first, then the system's own folders; one that cannot be used is
// passed over, and said why.
void TestSpill::theFolderIsTheFirstThatCanBeUsed()
{
    QTemporaryDir parent;
#ifdef Q_OS_WIN
    QCOMPARE(rich_text::SpillFile::folders(),
             (QStringList{QDir::tempPath(), QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)}));
#else
    const QByteArray saved = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(parent.filePath(QStringLiteral("no"))));
    const QStringList folders = rich_text::SpillFile::folders();
    qputenv("TMPDIR", saved);
    QCOMPARE(folders,
             (QStringList{parent.filePath(QStringLiteral("no")), QStringLiteral("/var/tmp"), QStringLiteral("/tmp")}));
#endif

    QFile notAFolder(parent.filePath(QStringLiteral("file")));
    QVERIFY(notAFolder.open(QIODevice::WriteOnly));
    std::vector<rich_text::SpillFile::Refusal> refusals;
    const QStringList tried{parent.filePath(QStringLiteral("no")), notAFolder.fileName(), parent.path()};
    QVERIFY(rich_text::SpillFile::create(tried, refusals));
    QCOMPARE(refusals.size(), size_t(2));
    QCOMPARE(refusals[1].folder, notAFolder.fileName());
    for (const auto &r : refusals)
        QCOMPARE(r.problem, rich_text::SpillFile::Problem::Missing);
    QVERIFY(!rich_text::SpillFile::create(tried.mid(0, 2), refusals));
    QCOMPARE(refusals.size(), size_t(2));
}

// Appends wait in memory for a disk that stalls, and read back as written,
// whole or in part, before and after the disk takes them. Meanwhile the
// memory takes no more once enough waits, and the transcript keeps its text.
void TestSpill::aDiskThatStallsHoldsUpNothing()
{
    QTemporaryDir folder;
    std::vector<rich_text::SpillFile::Refusal> refusals;
    rich_text::FileWriter file(rich_text::SpillFile::create({folder.path()}, refusals));
    constexpr qint64 kPage = 65536;
    auto page = [](char c) { return QByteArray(kPage, c); };
    auto readBack = [&](qint64 offset, qint64 size) {
        QByteArray bytes(size, Qt::Uninitialized);
        file.read(offset, bytes.data(), size);
        return bytes;
    };
    file.append(0, page('a'));
    QTRY_COMPARE_WITH_TIMEOUT(file.waitingBytes(), 0, 5000);
    file.hold(true);
    for (qint64 n = 1; n <= 4; ++n)
        file.append(n * kPage, page(char('a' + n)));
    QCOMPARE(file.waitingBytes(), 4 * kPage);
    const QByteArray expected = page('a') + page('b') + page('c') + page('d') + page('e');
    for (int round = 0; round < 2; ++round) {
        QCOMPARE(readBack(0, 5 * kPage), expected);
        QCOMPARE(readBack(kPage - 2, 4), QByteArray("aabb"));
        QCOMPARE(readBack(3 * kPage, kPage), page('d'));
        file.hold(false);
        QTRY_COMPARE_WITH_TIMEOUT(file.waitingBytes(), 0, 5000);
    }

    auto memory = TextMemory::make(4 << 20);
    rich_text::TextModel model(QStringLiteral("Sans"), memory);
    rich_text::TextModel reference(QStringLiteral("Sans"), TextMemory::make(kWhole));
    transcript::Writer<rich_text::TextModel> a(model), b(reference);
    memory->holdWrites(true);
    const QString text(16 * 1024, QChar(u'x'));
    for (int i = 0; i < 4000 && model.trySpill(); ++i) {
        a.received(text);
        b.received(text);
    }
    QCOMPARE(memory->waiting().reason, TextMemory::Wait::Reason::Behind);
    const qint64 held = model.text().length() - model.document().spilledLength();
    a.received(text);
    b.received(text);
    QCOMPARE(model.text().length() - model.document().spilledLength(), held + text.size() + 2);
    QVERIFY(model.text() == reference.text());
    memory->holdWrites(false);
    QTRY_VERIFY_WITH_TIMEOUT(model.trySpill(), 10000);
    QVERIFY(model.text() == reference.text());
}

// A write the disk refuses (here: past the largest file this process may
// write) is tried again by the writer itself, with nobody asking, and goes
// through once the disk takes it.
void TestSpill::aRefusedWriteIsTriedAgainByItself()
{
#ifndef Q_OS_LINUX
    QSKIP("limits the size of the files this process writes (setrlimit)");
#else
    QTemporaryDir folder;
    std::vector<rich_text::SpillFile::Refusal> refusals;
    rich_text::FileWriter file(rich_text::SpillFile::create({folder.path()}, refusals));
    rlimit saved{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);
    auto undo = [&] {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, savedSignal);
    };
    auto restore = qScopeGuard(undo);
    rlimit small = saved;
    small.rlim_cur = 1 << 20;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const QByteArray bytes(3 << 20, 'z');
    file.append(0, bytes);
    QTRY_COMPARE_WITH_TIMEOUT(file.refusal(), rich_text::SpillFile::Problem::NoSpace, 5000);
    QTest::qWait(2 * int(rich_text::FileWriter::kRetry.count()));
    QCOMPARE(file.waitingBytes(), bytes.size());
    QByteArray back(bytes.size(), Qt::Uninitialized);
    file.read(0, back.data(), back.size());
    QCOMPARE(back, bytes);
    undo();
    restore.dismiss();
    QTRY_COMPARE_WITH_TIMEOUT(file.waitingBytes(), 0, 5 * int(rich_text::FileWriter::kRetry.count()));
    QCOMPARE(file.refusal(), rich_text::SpillFile::Problem::None);
    back.fill('\0');
    file.read(0, back.data(), back.size());
    QCOMPARE(back, bytes);
#endif
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
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
    QSKIP("ThreadSanitizer cannot follow Qt's way of starting a child process (clone)");
#endif
#endif
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
