// chat_bench: how fast and how light the chat window is, each figure printed
// beside a baseline measured in the same run on the same machine.
//
//   chat_bench                run everything and print the table
//   chat_bench latency|throughput|accept|startup
//                             run these groups only
//
// The other command lines are the bench's own helper processes (a flooding
// peer, a crowd of connecting peers, a window that reports when it is shown);
// the parent starts them with QProcess and reads "key=value" lines back.
// Each group lives in a file of its own and registers itself with its helpers.
//
// All traffic stays on loopback. tools/bench.sh runs the bench in a network
// namespace of its own, so that nothing else on the machine that uses the
// chat's port (a copy of the program, the tests) gets in its way; each window
// and peer takes a loopback address of its own there.

#include "support.h"

#include <QApplication>
#include <QFile>
#include <QSysInfo>
#include <QThread>

using namespace chat_bench;

namespace {

QString cpuModel()
{
    QFile f(QStringLiteral("/proc/cpuinfo"));
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown CPU");
}

// The groups named on the command line (all when none is), in their order.
int runGroups(const QStringList &names)
{
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    loadavg.open(QIODevice::ReadOnly);
    say(QStringLiteral("chat_bench on %1 CPUs, %2, %3, Qt %4, QT_QPA_PLATFORM=%5, load average %6")
            .arg(QThread::idealThreadCount())
            .arg(cpuModel(), QSysInfo::prettyProductName(), QString::fromLatin1(qVersion()),
                 qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("(default)")),
                 QString::fromLatin1(loadavg.readAll().split(' ').mid(0, 3).join(' '))));
    for (const Group &group : groups()) {
        if (names.isEmpty() || names.contains(QLatin1String(group.name)))
            group.run();
    }
    printTable();
    return 0;
}

const HelperMode *helperMode(const QString &flag)
{
    for (const Group &group : groups()) {
        for (const HelperMode &mode : group.helpers) {
            if (flag == QLatin1String(mode.flag))
                return &mode;
        }
    }
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    g_mainNs = nowNs();
    const QString first = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    // Read after the application has taken out the options that are its own.
    auto words = [&](int from) {
        QStringList out;
        for (int i = from; i < argc; ++i)
            out << QString::fromLocal8Bit(argv[i]);
        return out;
    };
    if (const HelperMode *mode = helperMode(first)) {
        // Peers need no window system.
        if (!mode->needsWindows) {
            QCoreApplication app(argc, argv);
            return mode->run(words(2));
        }
        QApplication app(argc, argv);
        return mode->run(words(2));
    }
    QApplication app(argc, argv);
    return runGroups(words(1));
}
