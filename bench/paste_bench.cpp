// Other programs pasting a large transcript, under an X server of its own:
// the primary selection read right after Ctrl+A, one paste after Ctrl+C, and
// three at once, each beside the same with the text built whole for every
// request (as copies did before, "whole"), in the same run. For each: the
// worst delay of a 10 ms timer in the window, the time until every reader
// has its text, the peak resident memory above the window's before, and
// whether each reader got the expected bytes.
//
//   paste_bench [MIB]             both ways on MIB mebibytes of transcript (256 if not given)
//   paste_bench run sliced|whole MIB
//                                 one way, in the X server named by DISPLAY (what the first starts)

#include "rich_text/clipboard_text.h"
#include "rich_text/line_breaks.h"
#include "rich_text/rich_text_box.h"

#include <QApplication>
#include <QClipboard>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>

using rich_text::Rope;

namespace {

QString message(int i)
{
    QString m = QStringLiteral("Message %1: ").arg(i);
    while (m.size() < 60)
        m += QChar(char16_t(u'a' + (m.size() * 7 + i) % 26));
    return m;
}

// `mib` MiB of 64-character lines, by doubling one rope that shares its
// characters, as transcript_bench's copy does.
Rope transcriptOf(int mib)
{
    QString line;
    for (int i = 0; line.size() < 1024 * 1024; ++i)
        line += message(i) + QStringLiteral("\r\n");
    Rope text = line.left(1024 * 1024);
    for (qint64 size = 1; size < mib; size *= 2)
        text += text;
    return text.left(qint64(mib) * 1024 * 1024);
}

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

qint64 statusKib(const char *field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0)
            return std::stoll(line.substr(std::string(field).size()));
    }
    return -1;
}

// The peak resident size counts from here on.
void resetPeak()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

// The text built whole, and its UTF-8 from it, on every request: how copies
// answered before.
class WholeText : public QMimeData {
public:
    explicit WholeText(const Rope &text)
        : m_text(text)
    {
    }
    QStringList formats() const override { return {QStringLiteral("text/plain")}; }
    bool hasFormat(const QString &mimeType) const override { return mimeType == u"text/plain"; }

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override
    {
        if (mimeType != u"text/plain")
            return QVariant();
        const QString text = rich_text::withLfBreaks(m_text);
        if (type.id() == QMetaType::QByteArray)
            return text.toUtf8();
        return text;
    }

private:
    const Rope m_text;
};

struct Expected {
    qint64 size;
    QByteArray sha1;
};

bool sameAs(const QString &file, const Expected &expected)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly) || f.size() != expected.size)
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(&f);
    return hash.result() == expected.sha1;
}

int runOne(bool sliced, int mib)
{
    const Rope text = transcriptOf(mib);
    Expected expected;
    {
        const QByteArray bytes = rich_text::withLfBreaks(text).toUtf8();
        expected = {bytes.size(), QCryptographicHash::hash(bytes, QCryptographicHash::Sha1)};
    }
    rich_text::RichTextBox box;
    box.setGeometry(0, 0, 353, 297);
    box.setText(text);
    box.show();
    box.activateWindow();
    box.setFocus();
    QCoreApplication::processEvents();
    (void)box.textRtf(); // loaded, as after the window's first entry
    QTest::qWait(500);
    const qint64 rssBeforeKib = statusKib("VmRSS:");

    QElapsedTimer sinceTick;
    double worstLateMs = 0;
    double worstBusyMs = 0; // the window's own work between two ticks
    double cpuAtTickMs = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        worstLateMs = std::max(worstLateMs, sinceTick.nsecsElapsed() / 1e6 - 10);
        const double cpuMs = threadCpuMs();
        worstBusyMs = std::max(worstBusyMs, cpuMs - cpuAtTickMs);
        cpuAtTickMs = cpuMs;
        sinceTick.start();
    });

    QTemporaryDir dir;
    auto scenario = [&](const char *name, QClipboard::Mode mode, int readers) {
        resetPeak();
        worstLateMs = 0;
        worstBusyMs = 0;
        cpuAtTickMs = threadCpuMs();
        sinceTick.start();
        tick.start();
        QElapsedTimer elapsed;
        elapsed.start();
        std::vector<std::unique_ptr<QProcess>> xclips;
        int running = readers;
        QEventLoop loop;
        for (int i = 0; i < readers; ++i) {
            auto xclip = std::make_unique<QProcess>();
            xclip->setStandardOutputFile(dir.filePath(QStringLiteral("%1-%2").arg(QLatin1String(name)).arg(i)));
            QObject::connect(xclip.get(), &QProcess::finished, [&] {
                if (--running == 0)
                    loop.quit();
            });
            xclip->start(QStringLiteral("xclip"),
                         {QStringLiteral("-o"), QStringLiteral("-selection"),
                          mode == QClipboard::Selection ? QStringLiteral("primary") : QStringLiteral("clipboard"),
                          QStringLiteral("-t"), QStringLiteral("UTF8_STRING")});
            xclips.push_back(std::move(xclip));
        }
        QTimer::singleShot(120000, &loop, &QEventLoop::quit); // readers that never get their text
        loop.exec();
        const double seconds = elapsed.nsecsElapsed() / 1e9;
        int whole = 0;
        for (int i = 0; i < readers; ++i) {
            xclips[i]->kill();
            xclips[i]->waitForFinished();
            const QString file = dir.filePath(QStringLiteral("%1-%2").arg(QLatin1String(name)).arg(i));
            whole += sameAs(file, expected);
            QFile::remove(file);
        }
        const double peakAddedMib = (statusKib("VmHWM:") - rssBeforeKib) / 1024.0;
        tick.stop();
        std::printf("%s %.1f %.2f %.1f %d %d %.1f %.1f\n", name, worstLateMs, seconds, peakAddedMib, whole, readers,
                    expected.size / (1024.0 * 1024.0), worstBusyMs);
        std::fflush(stdout);
        QTest::qWait(1000); // what the transfers held is let go
    };

    QClipboard *clipboard = QGuiApplication::clipboard();
    QElapsedTimer keys;
    keys.start();
    QTest::keyClick(&box, Qt::Key_A, Qt::ControlModifier);
    QCoreApplication::processEvents(); // what it left queued: update, paint
    const double selectAllMs = keys.nsecsElapsed() / 1e6;
    if (!sliced)
        clipboard->setMimeData(new WholeText(text), QClipboard::Selection);
    scenario("primary", QClipboard::Selection, 1);
    keys.start();
    QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
    QCoreApplication::processEvents();
    const double copyMs = keys.nsecsElapsed() / 1e6;
    if (!sliced)
        clipboard->setMimeData(new WholeText(text), QClipboard::Clipboard);
    scenario("one", QClipboard::Clipboard, 1);
    scenario("three", QClipboard::Clipboard, 3);
    std::printf("keys %.2f %.2f\n", selectAllMs, copyMs);
    return 0;
}

// An X server of its own on a display it picks; its number, or -1.
int startX(QProcess &xvfb)
{
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                QStringLiteral("-noreset"), QStringLiteral("-screen"), QStringLiteral("0"),
                QStringLiteral("1280x800x24")});
    if (!xvfb.waitForStarted() || !xvfb.waitForReadyRead(20000))
        return -1;
    bool ok = false;
    const int display = xvfb.readLine().trimmed().toInt(&ok);
    return ok ? display : -1;
}

int runAll(const QString &self, int mib)
{
    QProcess xvfb;
    const int display = startX(xvfb);
    if (display < 0) {
        std::printf("paste_bench: no X server (Xvfb) could be started; not run\n");
        return 1;
    }
    std::printf("Other programs pasting %d MiB of transcript (xclip -o under Xvfb), each way in a process of its "
                "own:\n%-8s %-38s %12s %10s %10s %16s %6s\n",
                mib, "way", "readers", "worst 10 ms", "own work", "all done", "peak memory", "whole");
    const char *what[] = {"primary selection right after Ctrl+A", "one paste after Ctrl+C", "three pastes at once"};
    for (const char *way : {"sliced", "whole"}) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(display));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(self, {QStringLiteral("run"), QLatin1String(way), QString::number(mib)});
        child.waitForFinished(-1);
        const QStringList lines = QString::fromLatin1(child.readAllStandardOutput()).trimmed().split(u'\n');
        if (child.exitCode() != 0 || lines.size() != 4) {
            std::printf("%-8s failed\n", way);
            continue;
        }
        for (int i = 0; i < 3; ++i) {
            const QStringList f = lines[i].split(u' ');
            std::printf("%-8s %-38s %9.1f ms %7.1f ms %8.2f s %7.0f MiB (%.1fx) %4s/%s\n", way, what[i],
                        f[1].toDouble(), f[7].toDouble(), f[2].toDouble(), f[3].toDouble(),
                        f[3].toDouble() / f[6].toDouble(), qPrintable(f[4]), qPrintable(f[5]));
        }
        const QStringList keys = lines[3].split(u' ');
        std::printf("%-8s %-38s Ctrl+A %.1f ms, Ctrl+C %.1f ms\n", way, "select-all and copy before",
                    keys[1].toDouble(), keys[2].toDouble());
        std::fflush(stdout);
    }
    xvfb.terminate();
    xvfb.waitForFinished();
    std::printf("\nworst 10 ms: the latest a 10 ms timer in the window fired, from the request until every\n"
                "reader had its text. own work: the most CPU time the window's thread spent between two of its\n"
                "ticks (the rest of a late tick is the machine's other work: X, the readers, other programs).\n"
                "peak memory: the peak resident size (VmHWM, reset before each step) above the window's resident\n"
                "size before, and that over the size of the text in UTF-8. whole: readers that got every byte\n"
                "(size and SHA-1 against the text made in one piece); a reader still waiting after 120 s is\n"
                "stopped. The transcript shares its characters (built by doubling), so the window's own size is\n"
                "small and what is added is what a paste costs.\n");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const QStringList args = [&] {
        QStringList a;
        for (int i = 1; i < argc; ++i)
            a << QString::fromLocal8Bit(argv[i]);
        return a;
    }();
    if (args.size() == 3 && args[0] == u"run") {
        QApplication app(argc, argv);
        return runOne(args[1] == u"sliced", args[2].toInt());
    }
    QCoreApplication app(argc, argv);
    return runAll(QCoreApplication::applicationFilePath(), args.isEmpty() ? 256 : args[0].toInt());
}
