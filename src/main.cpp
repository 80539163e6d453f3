#include "connections/lingering_connections.h"
#include "main_window/form1.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

namespace {

// Enough descriptors for every incoming connection the window accepts, plus
// the listener, the outgoing link and what Qt and the display need.
constexpr rlim_t kDescriptoresNecesarios = Form1::NumeroSlots + 128;

void raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kDescriptoresNecesarios)
        return;
    limit.rlim_cur = std::min(limit.rlim_max, kDescriptoresNecesarios);
    setrlimit(RLIMIT_NOFILE, &limit);
}

bool platformChosen(int argc, char **argv)
{
    if (std::getenv("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
}

bool hasDisplay()
{
    const char *x11 = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

} // namespace

int main(int argc, char **argv)
{
    if (!hasDisplay() && !platformChosen(argc, argv)) {
        std::fputs("varlo-zintabel: no hay pantalla (ni DISPLAY ni WAYLAND_DISPLAY).\n"
                   "Ábralo desde un escritorio, o use una pantalla virtual:\n"
                   "  xvfb-run -a varlo-zintabel\n"
                   "  varlo-zintabel -platform vnc   (y conéctese con un visor VNC al puerto 5900)\n",
                   stderr);
        return 2;
    }
    raiseOpenFileLimit();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Varlo-Zintabel"));
    QApplication::setApplicationVersion(QStringLiteral(VZ_VERSION_TEXT));
    QApplication::setDesktopFileName(QStringLiteral("varlo-zintabel"));
    instalarTraduccionesDeQt(); // without the file Qt's own texts stay in English

    Form1 window;
    // Any window without a parent shows the same icon.
    QApplication::setWindowIcon(window.windowIcon());
    window.show();
    const int codigo = app.exec();
    // What was sent still reaches the peers before the process ends.
    connections::finishConnections(window);
    return codigo;
}
