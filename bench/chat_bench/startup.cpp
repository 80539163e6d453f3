// 4. start-up and idle
//
// Start-up is measured from the moment the bench calls QProcess::start (so
// fork, exec and loading the libraries are included) to the end of the
// window's first paint pass in the new process (the window and every
// control painted once into the offscreen backing store).

#include "support.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <memory>

#include <sys/resource.h>

namespace chat_bench {
namespace {

class FirstPaint : public QObject {
public:
    explicit FirstPaint(std::function<void()> done)
        : m_done(std::move(done))
    {
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // The controls are painted in the same pass, right after the
            // window itself: the posted call runs once the pass is over.
            QMetaObject::invokeMethod(this, m_done, Qt::QueuedConnection);
        }
        return false;
    }

private:
    std::function<void()> m_done;
    bool m_seen = false;
};

// The plain window of the same look: the same controls, a caption timer.
struct PlainForm {
    QWidget window;
    QTimer caption;
    PlainForm()
    {
        auto *layout = new QVBoxLayout(&window);
        auto *top = new QWidget(&window);
        auto *row = new QHBoxLayout(top);
        row->addWidget(new QLineEdit(QStringLiteral("127.0.0.1"), top));
        row->addWidget(new QPushButton(QStringLiteral("Conectar"), top));
        row->addWidget(new QPushButton(QStringLiteral("Desconectar"), top));
        row->addWidget(new QPushButton(QStringLiteral("?"), top));
        layout->addWidget(top);
        layout->addWidget(new QTextEdit(&window));
        auto *input = new QLineEdit(&window);
        layout->addWidget(input);
        layout->addWidget(new QPushButton(QStringLiteral("Enviar"), &window));
        window.resize(385, 391);
        input->setFocus();
        caption.setInterval(500);
        QObject::connect(&caption, &QTimer::timeout, &window,
                         [this] { window.setWindowTitle(QStringLiteral("127.0.0.1 - Desconectado")); });
        caption.start();
    }
};

int runWindow(const QString &kind, const QHostAddress &at, int idleSeconds)
{
    const qint64 mainNs = g_mainNs;
    connections::LingeringConnections lingering; // outlives the window
    std::unique_ptr<Form1> form;
    std::unique_ptr<PlainForm> plain;
    QWidget *window = nullptr;
    if (kind == QLatin1String("form")) {
        form = std::make_unique<Form1>(lingering, at);
        quietBoxes(*form);
        window = form.get();
    } else {
        plain = std::make_unique<PlainForm>();
        window = &plain->window;
    }
    qint64 shownNs = 0;
    FirstPaint watch([&] { shownNs = nowNs(); });
    window->installEventFilter(&watch);
    window->show();
    waitUntil([&] { return shownNs != 0; }, 20000);
    if (idleSeconds <= 0) {
        say(QStringLiteral("shown main=%1 painted=%2").arg(mainNs).arg(shownNs));
        return 0;
    }
    // Idle: nothing happens but what the window does by itself.
    int ticks = 0;
    QTimer *caption = form ? &captionTimer(*form) : &plain->caption;
    QObject::connect(caption, &QTimer::timeout, [&] { ++ticks; });
    waitUntil([] { return false; }, 1000);
    auto cpuUs = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
    };
    const qint64 cpu0 = cpuUs();
    const qint64 wake0 = procStatus("voluntary_ctxt_switches");
    ticks = 0;
    QElapsedTimer clock;
    clock.start();
    // Sleep in the event loop without a timer of our own.
    QEventLoop loop;
    QTimer::singleShot(idleSeconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const qint64 cpu1 = cpuUs();
    const qint64 wake1 = procStatus("voluntary_ctxt_switches");
    say(QStringLiteral("idle cpu_us=%1 wakeups=%2 ticks=%3 ms=%4")
            .arg(cpu1 - cpu0)
            .arg(wake1 - wake0)
            .arg(ticks)
            .arg(clock.elapsed()));
    return 0;
}

void benchStartup()
{
    constexpr int kStarts = 10;
    constexpr int kIdleSeconds = 10;
    say(QStringLiteral("4. start-up (%1 starts each) and idle CPU over %2 s").arg(kStarts).arg(kIdleSeconds));
    std::vector<qint64> form, plain, formMain, plainMain;
    for (int i = 0; i < kStarts; ++i) {
        for (const bool isForm : {false, true}) {
            Helper w({QStringLiteral("--window"), isForm ? QStringLiteral("form") : QStringLiteral("plain"),
                      addr(isForm ? loopback::kStartForm : loopback::kStartPlain).toString(), QStringLiteral("0")});
            const auto shown = w.await(QStringLiteral("shown"), 20000);
            w.finish(5000);
            if (shown.isEmpty())
                continue;
            const qint64 painted = shown.value(QStringLiteral("painted")).toLongLong();
            (isForm ? form : plain).push_back(painted - w.startedNs());
            (isForm ? formMain : plainMain).push_back(painted - shown.value(QStringLiteral("main")).toLongLong());
        }
    }
    const Spread f = spread(form), p = spread(plain), fm = spread(formMain), pm = spread(plainMain);
    row(QStringLiteral("4 start-up: start → window painted (median)"), ms(f.median / 1000),
        QStringLiteral("plain window %1").arg(ms(p.median / 1000)), QStringLiteral("—"),
        QStringLiteral("%1× plain").arg(p.median > 0 ? f.median / p.median : 0, 0, 'f', 2));
    row(QStringLiteral("4 start-up: main() → window painted (median)"), ms(fm.median / 1000),
        QStringLiteral("plain window %1").arg(ms(pm.median / 1000)), QStringLiteral("—"),
        QStringLiteral("slowest start %1").arg(ms(f.max / 1000)));

    // Both idle windows side by side: neither does anything, so they do not
    // disturb each other, and the run takes 10 s instead of 20.
    Helper idleForm({QStringLiteral("--window"), QStringLiteral("form"), addr(loopback::kIdleForm).toString(),
                     QString::number(kIdleSeconds)});
    Helper idlePlain({QStringLiteral("--window"), QStringLiteral("plain"), addr(loopback::kIdlePlain).toString(),
                      QString::number(kIdleSeconds)});
    const auto fi = idleForm.await(QStringLiteral("idle"), (kIdleSeconds + 30) * 1000);
    const auto pi = idlePlain.await(QStringLiteral("idle"), (kIdleSeconds + 30) * 1000);
    const double fCpu = fi.value(QStringLiteral("cpu_us")).toDouble() / 1000;
    const double pCpu = pi.value(QStringLiteral("cpu_us")).toDouble() / 1000;
    const int fWake = fi.value(QStringLiteral("wakeups")).toInt();
    const int pWake = pi.value(QStringLiteral("wakeups")).toInt();
    const double percent = fCpu / (kIdleSeconds * 10.0);
    row(QStringLiteral("4 idle CPU over 10 s, window open"),
        QStringLiteral("%1 (%2%)").arg(ms(fCpu)).arg(percent, 0, 'f', 3),
        QStringLiteral("plain window %1").arg(ms(pCpu)), QStringLiteral("—"),
        QStringLiteral("%1× plain").arg(pCpu > 0 ? fCpu / pCpu : 0, 0, 'f', 2));
    row(QStringLiteral("4 idle wake-ups over 10 s (caption ticks)"),
        QStringLiteral("%1 (%2 ticks)").arg(fWake).arg(fi.value(QStringLiteral("ticks"))),
        QStringLiteral("plain window %1 (%2 ticks)").arg(pWake).arg(pi.value(QStringLiteral("ticks"))),
        QStringLiteral("caption ticks only"),
        yesNo(!fi.isEmpty() && fWake <= pWake + 5 && fWake <= fi.value(QStringLiteral("ticks")).toInt() + 5));
    note(QStringLiteral(
             "start-up: from QProcess::start in the bench (fork, exec, libraries) to the end of the window's first "
             "paint pass offscreen; the bench's own binary in a window mode, bound to %1, "
             "because build/varlo-zintabel listens on every address.")
             .arg(addr(loopback::kStartForm).toString()));
    note(QStringLiteral("idle: CPU from getrusage, wake-ups are voluntary context switches from /proc/self/status, "
                        "after 1 s of settling; both windows keep their 500 ms caption timer. Met when the window "
                        "wakes at most 5 times more "
                        "than its caption ticks and than the plain window."));
}

const GroupRegistration registration({4, "startup", benchStartup, {{"--window", true, [](const QStringList &a) {
                                                                        return runWindow(a.value(0),
                                                                                         QHostAddress(a.value(1)),
                                                                                         a.value(2).toInt());
                                                                    }}}});

} // namespace
} // namespace chat_bench
