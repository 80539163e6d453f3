// The transcript control on its own: the cost of each entry as the transcript
// grows, and the memory it takes, beside a bare QTextEdit doing the same in
// the same run. Entries go through the chat window's own transcript
// functions. Each configuration runs in a process of its own so that memory
// figures do not mix.
//
//   transcript_bench                  every configuration, then the table
//   transcript_bench ours|bare N      N entries, 60-character messages sent and received alternately
//   transcript_bench ours-crlf|bare-crlf N
//                                     N empty paragraphs, received as a peer's CR LF flood in 16 KiB reads
//   transcript_bench ours-hidden N    as ours, in a window shown once and then unmapped (minimized),
//                                     then the time to show it again with its last page painted
//   transcript_bench copy MIB         select-all and Ctrl+C on a transcript of MIB mebibytes of text
//   transcript_bench accessible N     what a screen reader's questions cost on N entries
//   transcript_bench density-ascii|density-latin|density-other MIB
//                                     memory added per character, received as a flood of 16 KiB reads
//                                     up to MIB mebicharacters of transcript
//   transcript_bench spill GIB        the same flood up to GIB gibicharacters with the memory's own
//                                     budget: the resident size at 1, 4 and 16 GiB, then the time to
//                                     show the first page after scrolling to the start

#include "support/transcript_writer.h"

#include "rich_text/rich_text_box.h"
#include "rich_text/text_memory.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QProcess>
#include <QScrollBar>
#include <QTest>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <string>

using rich_text::RichTextBox;

namespace {

constexpr int kReadBytes = 16 * 1024; // what one read of a flood brings

QFont chatFont()
{
    QFont font(QStringLiteral("Sans Serif"));
    font.setPointSizeF(9.75);
    return font;
}

qint64 residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    qint64 size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

QString message(int i)
{
    QString m = QStringLiteral("Message %1: ").arg(i);
    while (m.size() < 60)
        m += QChar(char16_t(u'a' + (m.size() * 7 + i) % 26));
    return m;
}

struct Result {
    double microsPerEntry = 0;
    double microsPerEntryLastTenth = 0;
    qint64 rssDelta = 0;
    double restoreMs = 0; // unmapped windows only
};

// Each entry is followed by one turn of the event loop, in which the view
// catches up and paints, as after each event in the window. Beyond 100,000
// entries, all but the last 10,000 are appended with a turn of the loop only
// every thousand entries, and the figures are those of the last 10,000.
Result measure(int entries, const std::function<void(int)> &append)
{
    constexpr int kMeasuredAtMost = 10000;
    const int prefill = entries > 100000 ? entries - kMeasuredAtMost : 0;
    for (int i = 0; i < prefill; ++i) {
        append(i);
        if (i % 1000 == 999)
            QCoreApplication::processEvents();
    }
    Result r;
    QElapsedTimer timer;
    timer.start();
    qint64 lastTenthStart = 0;
    const int measured = entries - prefill;
    for (int k = 0; k < measured; ++k) {
        const int i = prefill + k;
        if (k == measured - measured / 10)
            lastTenthStart = timer.nsecsElapsed();
        append(i);
        QCoreApplication::processEvents();
    }
    const qint64 total = timer.nsecsElapsed();
    r.microsPerEntry = total / 1000.0 / measured;
    r.microsPerEntryLastTenth = (total - lastTenthStart) / 1000.0 / std::max(1, measured / 10);
    return r;
}

struct Ours {
    RichTextBox box;
    transcript::Writer<RichTextBox> writer{box};
    Ours()
    {
        box.setGeometry(0, 0, 353, 297);
        box.setFont(chatFont());
        box.setBackgroundColor(Qt::white);
        box.show();
        QCoreApplication::processEvents();
    }
    void sent(const QString &text)
    {
        writer.sent(text);
        writer.cursorToEnd();
    }
    void received(const QString &text) { writer.received(text); }
};

// What a plain chat does: a QTextEdit, a paragraph per entry, received ones coloured.
struct Bare {
    QTextEdit edit;
    QTextCharFormat plain;
    QTextCharFormat blue;
    Bare()
    {
        edit.setGeometry(0, 0, 353, 297);
        edit.setFont(chatFont());
        edit.setReadOnly(true);
        edit.setUndoRedoEnabled(false);
        edit.show();
        plain.setForeground(Qt::black);
        blue.setForeground(QColor(85, 85, 255));
        QCoreApplication::processEvents();
    }
    void add(const QString &text, bool received)
    {
        QTextCursor c(edit.document());
        c.movePosition(QTextCursor::End);
        c.insertBlock();
        c.insertText(text, received ? blue : plain);
        edit.verticalScrollBar()->setValue(edit.verticalScrollBar()->maximum());
    }
};

// A flood of CR LF in reads of 16 KiB: each read one received entry of empty paragraphs.
QString crlfRead(int paragraphs)
{
    QString text;
    for (int i = 0; i < paragraphs; ++i)
        text += QStringLiteral("\r\n");
    return text;
}

// Select-all and Ctrl+C on a transcript of `mib` MiB of 64-character lines,
// then a client that asks for the copied text. The transcript is built by
// doubling one rope, which shares its characters, so that building it takes
// seconds; the view and the copy see an ordinary transcript of that length.
int runCopy(int mib)
{
    QString line;
    for (int i = 0; line.size() < 1024 * 1024; ++i)
        line += message(i) + QStringLiteral("\r\n");
    rich_text::Rope text = line.left(1024 * 1024);
    for (qint64 size = 1; size < mib; size *= 2)
        text += text;
    text = text.left(qint64(mib) * 1024 * 1024);
    Ours ours;
    ours.box.setText(text);
    ours.box.setFocus();
    QCoreApplication::processEvents();
    (void)ours.box.textRtf(); // loaded, as after the window's first entry
    QCoreApplication::processEvents();

    QElapsedTimer timer;
    auto pause = [&](const std::function<void()> &step) {
        timer.start();
        step();
        const double ms = timer.nsecsElapsed() / 1e6;
        timer.start();
        QCoreApplication::processEvents(); // what the step left queued: update, paint
        return std::max(ms, timer.nsecsElapsed() / 1e6);
    };
    const double selectAll = pause([&] { QTest::keyClick(&ours.box, Qt::Key_A, Qt::ControlModifier); });
    const double copy = pause([&] { QTest::keyClick(&ours.box, Qt::Key_C, Qt::ControlModifier); });
    timer.start();
    const qint64 length = QGuiApplication::clipboard()->text().size();
    const double request = timer.nsecsElapsed() / 1e6;
    std::printf("%.2f %.2f %.2f %lld %lld\n", selectAll, copy, request, qlonglong(text.length()), qlonglong(length));
    return 0;
}

// A flood's reads of one kind of text, 16 KiB each: ASCII, Spanish (Latin-1
// with its accents), or Hebrew and Chinese, as a peer's flood of them reaches
// the receiving handler. Memory added is the resident size after minus
// before, per character of transcript; the view catches up every 64 reads.
int runDensity(const QString &kind, int mebichars)
{
    QString read;
    const QString ascii = QStringLiteral("The quick brown fox jumps over the lazy dog, 0123456789 times. ");
    const QString latin = QStringLiteral("¿Qué tal, señor Núñez? El pingüino comió ñoquis y café. ");
    const QString other = QStringLiteral("שלום עולם, מה שלומך היום? 你好，世界。今天天气很好。 ");
    const QString &unit = kind == u"density-ascii" ? ascii : kind == u"density-latin" ? latin : other;
    while (read.size() < kReadBytes)
        read += unit;
    read.truncate(kReadBytes);
    Ours ours;
    const qint64 rssBefore = residentBytes();
    const qint64 target = qint64(mebichars) * 1024 * 1024;
    QElapsedTimer timer;
    timer.start();
    int reads = 0;
    while (ours.box.text().length() < target) {
        ours.received(read);
        if (++reads % 64 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 chars = ours.box.text().length();
    std::printf("%.3f %lld %lld %.2f\n", double(residentBytes() - rssBefore) / double(chars), qlonglong(chars),
                qlonglong(residentBytes() - rssBefore), chars / seconds / 1e6);
    return 0;
}

qint64 peakResidentBytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stoll(line.substr(6)) * 1024;
    }
    return -1;
}

// A flood of ASCII reads far beyond the budget: "mark GIB RESIDENT MCHARS_PER_S" as each
// gibicharacter mark passes, then "back MS PAGES PEAK": Ctrl+Home and the paint of the
// first page, and the pages read back from the file for it.
int runSpill(int gib)
{
    QString read;
    const QString ascii = QStringLiteral("The quick brown fox jumps over the lazy dog, 0123456789 times. ");
    while (read.size() < kReadBytes)
        read += ascii;
    read.truncate(kReadBytes);
    Ours ours;
    QElapsedTimer timer;
    timer.start();
    qint64 lastMarkChars = 0;
    double lastMarkSeconds = 0;
    int reads = 0;
    for (qint64 mark = 1; mark <= gib; mark *= 4) {
        while (ours.box.text().length() < mark << 30) {
            ours.received(read);
            // As the window does: nothing more comes while the file takes nothing more.
            while (!ours.box.trySpill())
                QThread::msleep(5);
            if (++reads % 64 == 0)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        const qint64 chars = ours.box.text().length();
        const double seconds = timer.nsecsElapsed() / 1e9;
        std::printf("mark %lld %lld %.1f\n", qlonglong(mark), qlonglong(residentBytes()),
                    (chars - lastMarkChars) / (seconds - lastMarkSeconds) / 1e6);
        std::fflush(stdout);
        lastMarkChars = chars;
        lastMarkSeconds = seconds;
    }
    ours.box.setFocus();
    const qint64 loaded = ours.box.model().memory()->counters().pagesLoaded;
    timer.start();
    QTest::keyClick(&ours.box, Qt::Key_Home, Qt::ControlModifier);
    ours.box.viewport()->repaint();
    QCoreApplication::processEvents();
    const double backMs = timer.nsecsElapsed() / 1e6;
    std::printf("back %.2f %lld %lld\n", backMs, qlonglong(ours.box.model().memory()->counters().pagesLoaded - loaded),
                qlonglong(peakResidentBytes()));
    return 0;
}

// Median time of one call, in microseconds, over `calls` calls.
double medianMicros(int calls, const std::function<void()> &call)
{
    std::vector<qint64> ns;
    QElapsedTimer timer;
    for (int i = 0; i < calls; ++i) {
        timer.start();
        call();
        ns.push_back(timer.nsecsElapsed());
    }
    std::sort(ns.begin(), ns.end());
    return ns[ns.size() / 2] / 1000.0;
}

// characterCount, and the line at the start (off screen, laid out for the
// question) and at the end of the transcript, through the accessible interface.
int runAccessible(int n)
{
    Ours ours;
    for (int i = 0; i < n; ++i) {
        i % 2 ? ours.received(message(i)) : ours.sent(message(i));
        if (i % 1000 == 999)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(&ours.box)->textInterface();
    int start = 0, end = 0;
    const double count = medianMicros(1000, [&] { text->characterCount(); });
    const int last = text->characterCount() - 1;
    // Inside the first entry: the transcript opens with an empty paragraph.
    const double first = medianMicros(1000, [&] { text->textAtOffset(5, QAccessible::LineBoundary, &start, &end); });
    const double atEnd = medianMicros(1000, [&] { text->textAtOffset(last, QAccessible::LineBoundary, &start, &end); });
    std::printf("%.2f %.2f %.2f\n", count, first, atEnd);
    return 0;
}

int runOne(const QString &which, int n)
{
    if (which == u"copy")
        return runCopy(n);
    if (which == u"accessible")
        return runAccessible(n);
    if (which.startsWith(u"density-"))
        return runDensity(which, n);
    if (which == u"spill")
        return runSpill(n);
    const qint64 rssBefore = residentBytes();
    Result r;
    if (which == u"ours") {
        Ours ours;
        r = measure(n, [&](int i) { i % 2 ? ours.received(message(i)) : ours.sent(message(i)); });
        r.rssDelta = residentBytes() - rssBefore;
    } else if (which == u"ours-hidden") {
        Ours ours;
        ours.box.hide();
        QCoreApplication::processEvents();
        r = measure(n, [&](int i) { i % 2 ? ours.received(message(i)) : ours.sent(message(i)); });
        r.rssDelta = residentBytes() - rssBefore;
        QElapsedTimer timer;
        timer.start();
        ours.box.show();
        ours.box.viewport()->repaint();
        QCoreApplication::processEvents();
        r.restoreMs = timer.nsecsElapsed() / 1e6;
    } else if (which == u"bare") {
        Bare bare;
        r = measure(n, [&](int i) { bare.add(message(i), i % 2); });
        r.rssDelta = residentBytes() - rssBefore;
    } else if (which == u"ours-crlf" || which == u"bare-crlf") {
        const int perRead = kReadBytes / 2;
        const QString read = crlfRead(perRead);
        if (which == u"ours-crlf") {
            Ours ours;
            r = measure(n / perRead, [&](int) { ours.received(read); });
            r.rssDelta = residentBytes() - rssBefore;
        } else {
            Bare bare;
            r = measure(n / perRead, [&](int) {
                bare.add(QString(read).replace(QStringLiteral("\r\n"), QStringLiteral("\u2029")), true);
            });
            r.rssDelta = residentBytes() - rssBefore;
        }
    } else {
        return 2;
    }
    std::printf("%.2f %.2f %lld %.2f\n", r.microsPerEntry, r.microsPerEntryLastTenth, qlonglong(r.rssDelta),
                r.restoreMs);
    return 0;
}

bool runChild(const QString &self, const QString &which, int n, Result &r)
{
    QProcess p;
    p.start(self, {which, QString::number(n)});
    p.waitForFinished(-1);
    const QStringList f = QString::fromLatin1(p.readAllStandardOutput()).trimmed().split(u' ');
    if (p.exitCode() != 0 || f.size() != 4)
        return false;
    r = Result{f[0].toDouble(), f[1].toDouble(), f[2].toLongLong(), f[3].toDouble()};
    return true;
}

QString mb(qint64 bytes) { return QStringLiteral("%1 MB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1); }
const char *yes(bool ok) { return ok ? "yes" : "NO"; }

int runAll(const QString &self)
{
    std::printf("Entries of 60 characters, sent and received alternately; the view catches up after each.\n");
    std::printf("%-11s %10s %12s %22s %12s %12s\n", "view", "entries", "us/entry", "us/entry (last 10%)", "RSS added",
                "restore");
    std::map<std::pair<QString, int>, Result> results;
    const std::vector<std::pair<QString, int>> runs = {
        {"ours", 1000},  {"ours", 10000},  {"ours", 100000},      {"ours", 1000000},      {"bare", 1000},
        {"bare", 10000}, {"bare", 100000}, {"ours-hidden", 1000}, {"ours-hidden", 10000}, {"ours-hidden", 100000},
    };
    for (const auto &[which, n] : runs) {
        Result r;
        if (!runChild(self, which, n, r)) {
            std::printf("%-11s %10d failed\n", qPrintable(which), n);
            continue;
        }
        results[{which, n}] = r;
        const QString restore
            = which == u"ours-hidden" ? QStringLiteral("%1 ms").arg(r.restoreMs, 0, 'f', 1) : QString();
        std::printf("%-11s %10d %12.1f %22.1f %12s %12s\n", qPrintable(which), n, r.microsPerEntry,
                    r.microsPerEntryLastTenth, qPrintable(mb(r.rssDelta)), qPrintable(restore));
        std::fflush(stdout);
    }

    const int paragraphs = 8 * 32768; // 512 KiB of CR LF
    Result oursCrlf, bareCrlf;
    const bool crlf = runChild(self, QStringLiteral("ours-crlf"), paragraphs, oursCrlf)
        && runChild(self, QStringLiteral("bare-crlf"), paragraphs, bareCrlf);

    const int copyMib = 1024;
    QProcess copy;
    copy.start(self, {QStringLiteral("copy"), QString::number(copyMib)});
    copy.waitForFinished(-1);
    const QStringList c = QString::fromLatin1(copy.readAllStandardOutput()).trimmed().split(u' ');
    double copyPause = -1;
    if (copy.exitCode() == 0 && c.size() == 5) {
        copyPause = std::max(c[0].toDouble(), c[1].toDouble());
        std::printf(
            "\nSelect-all then Ctrl+C on %d MiB of transcript (%s characters): Ctrl+A %.1f ms, Ctrl+C %.1f ms;\n"
            "a client asking for the copied text then waits %.0f ms for %s characters\n",
            copyMib, qPrintable(c[3]), c[0].toDouble(), c[1].toDouble(), c[2].toDouble(), qPrintable(c[4]));
    } else {
        std::printf("\nSelect-all then Ctrl+C on %d MiB of transcript: failed\n", copyMib);
    }
    QProcess accessible;
    accessible.start(self, {QStringLiteral("accessible"), QStringLiteral("100000")});
    accessible.waitForFinished(-1);
    const QStringList a11y = QString::fromLatin1(accessible.readAllStandardOutput()).trimmed().split(u' ');

    std::printf("\nMemory added per character of a 1 GiB transcript, received as 16 KiB reads "
                "(the plain text in UTF-16 takes 2 bytes per character):\n");
    struct Density {
        const char *kind;
        double target;
        double perChar = -1;
    };
    Density densities[] = {{"density-ascii", 1.25}, {"density-latin", 1.25}, {"density-other", 2.5}};
    for (Density &d : densities) {
        QProcess p;
        p.start(self, {QString::fromLatin1(d.kind), QStringLiteral("1024")});
        p.waitForFinished(-1);
        const QStringList f = QString::fromLatin1(p.readAllStandardOutput()).trimmed().split(u' ');
        if (p.exitCode() == 0 && f.size() == 4) {
            d.perChar = f[0].toDouble();
            std::printf("  %-14s %.3f bytes per character (%s characters, %s added; appended at %.1f M characters/s)\n",
                        d.kind, d.perChar, qPrintable(f[1]), qPrintable(mb(f[2].toLongLong())), f[3].toDouble());
        } else {
            std::printf("  %-14s failed\n", d.kind);
        }
        std::fflush(stdout);
    }

    const int spillGib = 16;
    std::printf("\nA flood of 16 KiB ASCII reads up to %d GiB of transcript, within the memory's budget of %.0f MiB "
                "(the text's own share %.0f MiB of recent text):\n",
                spillGib, rich_text::TextMemory::residentBudget() / 1048576.0,
                rich_text::TextMemory::defaultRecentText() / 1048576.0);
    QProcess spill;
    spill.start(self, {QStringLiteral("spill"), QString::number(spillGib)});
    spill.waitForFinished(-1);
    qint64 spillPeak = -1;
    double backMs = -1;
    for (const QString &line : QString::fromLatin1(spill.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList f = line.split(u' ');
        if (f.value(0) == u"mark")
            std::printf("  at %2s GiB: resident %s (appended at %s M characters/s since the last mark)\n",
                        qPrintable(f.value(1)), qPrintable(mb(f.value(2).toLongLong())), qPrintable(f.value(3)));
        else if (f.value(0) == u"back") {
            backMs = f.value(1).toDouble();
            spillPeak = f.value(3).toLongLong();
            std::printf("  scrolled to the start (Ctrl+Home), first page painted in %.1f ms, %s pages read back;"
                        " peak resident %s\n",
                        backMs, qPrintable(f.value(2)), qPrintable(mb(spillPeak)));
        }
    }

    std::printf("\nTargets\n");
    auto ratio = [&](const QString &a, int na, const QString &b, int nb) {
        return results[{a, na}].microsPerEntry / std::max(0.001, results[{b, nb}].microsPerEntry);
    };
    const double flat = ratio("ours", 1000000, "ours", 1000);
    std::printf("- entry cost flat from 1,000 to 1,000,000 entries: %.2fx (last tenth at 1,000,000: %.1f us): %s\n",
                flat, results[{"ours", 1000000}].microsPerEntryLastTenth, yes(flat < 1.5));
    const double vsBare = ratio("ours", 10000, "bare", 10000);
    std::printf("- at 10,000 entries, under 2x the bare QTextEdit: %.2fx: %s\n", vsBare, yes(vsBare < 2));
    const double memory
        = double(results[{"ours", 100000}].rssDelta) / std::max<qint64>(1, results[{"bare", 100000}].rssDelta);
    std::printf("- memory at 100,000 entries, at most 1.2x the bare QTextEdit's: %s vs %s = %.2fx: %s\n",
                qPrintable(mb(results[{"ours", 100000}].rssDelta)), qPrintable(mb(results[{"bare", 100000}].rssDelta)),
                memory, yes(memory <= 1.2));
    if (crlf) {
        const double ours = double(oursCrlf.rssDelta) / paragraphs;
        const double bare = double(bareCrlf.rssDelta) / paragraphs;
        std::printf("- memory per empty paragraph (512 KiB of CR LF in 16 KiB reads), at most 256 bytes: "
                    "%.0f bytes (bare QTextEdit %.0f bytes): %s\n",
                    ours, bare, yes(ours <= 256));
    }
    const Result &hidden = results[{"ours-hidden", 100000}];
    const double hiddenFlat = ratio("ours-hidden", 100000, "ours-hidden", 1000);
    std::printf("- unmapped window, entry cost flat from 1,000 to 100,000 entries: %.2fx: %s\n", hiddenFlat,
                yes(hiddenFlat < 1.5));
    const double perEntry = double(hidden.rssDelta) / 100000;
    const double shownPerEntry = double(results[{"ours", 100000}].rssDelta) / 100000;
    std::printf("- unmapped window, memory per entry at most 1.2x the shown window's: %.0f vs %.0f bytes = %.2fx: %s\n",
                perEntry, shownPerEntry, perEntry / std::max(1.0, shownPerEntry), yes(perEntry <= 1.2 * shownPerEntry));
    std::printf("- unmapped window of 100,000 entries shown again with its last page in under 50 ms: %.1f ms: %s\n",
                hidden.restoreMs, yes(hidden.restoreMs < 50));
    for (const Density &d : densities) {
        if (d.perChar >= 0)
            std::printf("- %s: memory added per character at 1 GiB, at most %.2f bytes: %.3f: %s\n", d.kind, d.target,
                        d.perChar, yes(d.perChar <= d.target));
    }
    if (copyPause >= 0)
        std::printf("- select-all and Ctrl+C of %d MiB: worst pause %.1f ms, under 100 ms: %s\n", copyMib, copyPause,
                    yes(copyPause < 100));
    if (spillPeak >= 0) {
        std::printf("- %d GiB of transcript within the resident budget of %s: peak %s: %s\n", spillGib,
                    qPrintable(mb(rich_text::TextMemory::residentBudget())), qPrintable(mb(spillPeak)),
                    yes(spillPeak < rich_text::TextMemory::residentBudget()));
        std::printf("- the first page brought back from the file after Ctrl+Home in under 100 ms: %.1f ms: %s\n",
                    backMs, yes(backMs < 100));
    }
    if (a11y.size() == 3) {
        const double count = a11y[0].toDouble(), first = a11y[1].toDouble(), last = a11y[2].toDouble();
        std::printf("- screen reader, 100,000 entries: characterCount %.2f us, textAtOffset(LINE) at the start "
                    "%.2f us, at the end %.2f us (each median of 1,000 calls), each under 1 ms: %s\n",
                    count, first, last, yes(count < 1000 && first < 1000 && last < 1000));
    } else {
        std::printf("- screen reader, 100,000 entries: the run failed\n");
    }
    std::printf("\nus/entry: wall time per entry, including the view's update and paint; at 1,000,000 entries,\n"
                "over the last 10,000 (the rest appended with a turn of the event loop every 1,000). RSS added:\n"
                "resident memory after the run minus before it, in a process of its own. The bare QTextEdit is\n"
                "not run at 1,000,000 entries: it would take hours.\n");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3)
        return runOne(args[1], args[2].toInt());
    return runAll(args[0]);
}
