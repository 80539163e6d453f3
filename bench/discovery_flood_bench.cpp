// A window while its network announces a thousand copies with a flood of
// packets (bench/discovery_bench.sh makes the network and gives the
// announcer's command in VZ_ANNOUNCER): how late a 10 ms timer in the
// window's thread fires, first for a quiet spell, then during the flood;
// how many copies the list keeps and how often it is rebuilt; the resident
// memory before and after. Figures only.
//
//   discovery_flood_bench [QUIET_SECONDS]
#include "connections/lingering_connections.h"
#include "discovery/found_copies.h"
#include "main_window/form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// "VmRSS" or "VmHWM" of this process, in KiB.
long statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// The lateness of each tick of a 10 ms timer, in microseconds.
class Ticks {
public:
    Ticks()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_late.push_back(std::max<qint64>(0, (now - m_last) / 1000 - 10000));
            m_last = now;
        });
    }
    void start()
    {
        m_late.clear();
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }
    void print(const char *what)
    {
        m_timer.stop();
        std::vector<qint64> late = m_late;
        std::sort(late.begin(), late.end());
        if (late.empty())
            return;
        const auto at = [&](double q) { return late[std::min(late.size() - 1, size_t(q * late.size()))] / 1000.0; };
        std::printf("  10 ms timer, %s: %zu ticks, late by median %.2f ms, 99th %.2f ms, worst %.2f ms\n", what,
                    late.size(), at(0.5), at(0.99), late.back() / 1000.0);
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    std::vector<qint64> m_late;
};

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString announcer = QString::fromLocal8Bit(qgetenv("VZ_ANNOUNCER"));
    if (announcer.isEmpty()) {
        std::fprintf(stderr, "discovery_flood_bench: run through bench/discovery_bench.sh (VZ_ANNOUNCER)\n");
        return 2;
    }
    const int quietMs = (argc > 1 ? std::atoi(argv[1]) : 10) * 1000;

    connections::LingeringConnections lingering;
    Form1 form(lingering, QHostAddress(QStringLiteral("127.0.0.1")));
    form.show();
    discovery::FoundCopies &found = form.copiasEncontradas();
    runFor(2000);
    const long rssBefore = statusKiB("VmRSS");

    Ticks ticks;
    ticks.start();
    runFor(quietMs);
    ticks.print("quiet network");

    int mostKept = 0;
    QTimer sampler;
    sampler.setInterval(50);
    QObject::connect(&sampler, &QTimer::timeout, [&] { mostKept = std::max(mostKept, found.kept()); });
    sampler.start();
    const int publicationsBefore = found.publications();
    QProcess flood;
    flood.setProcessChannelMode(QProcess::ForwardedChannels);
    QElapsedTimer floodClock;
    floodClock.start();
    ticks.start();
    flood.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), announcer});
    QEventLoop loop;
    QObject::connect(&flood, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&flood, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(180000, &loop, &QEventLoop::quit);
    loop.exec();
    const double floodSeconds = floodClock.elapsed() / 1000.0;
    ticks.print("during the flood");
    runFor(1000);
    std::printf("  list during the flood (%.1f s): at most %d copies kept, %d rebuilds of its rows (%.1f a second)\n",
                floodSeconds, mostKept, found.publications() - publicationsBefore,
                (found.publications() - publicationsBefore) / floodSeconds);
    std::printf("  resident memory of the window: %ld KiB before, %ld KiB after, peak %ld KiB\n", rssBefore,
                statusKiB("VmRSS"), statusKiB("VmHWM"));
    return 0;
}
