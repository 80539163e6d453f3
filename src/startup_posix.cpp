#include "startup_platform.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace startup_platform {

namespace {

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

// The program's absolute path, for advice that must work from any folder.
std::string programPath(const char *argv0)
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return argv0;
    return std::string(path, std::size_t(length));
}

// Only ways that keep the window private: no display server that would listen
// on the network without a password.
void printNoDisplayHint(const char *argv0)
{
    const std::string program = programPath(argv0);
    std::fprintf(stderr,
                 "varlo-zintabel: no hay pantalla (ni DISPLAY ni WAYLAND_DISPLAY).\n"
                 "Ábralo desde una sesión de escritorio (X11 o Wayland) de este equipo:\n"
                 "  %s\n"
                 "o desde otro equipo con escritorio, a través de SSH (que cifra la ventana):\n"
                 "  ssh -X USUARIO@ESTE_EQUIPO %s\n",
                 program.c_str(), program.c_str());
}

} // namespace

bool puedeAbrirVentana(int argc, char **argv)
{
    if (hasDisplay() || platformChosen(argc, argv))
        return true;
    printNoDisplayHint(argv[0]);
    return false;
}

// The window's fonts come from the system (DejaVu Sans, and FreeFont for the
// stand-ins of control characters), as the package's dependencies say.
void cargarFuentesPropias() { }

// Its fixed size is a size hint that X11's window managers keep, as
// Wayland's compositors do.
void enmarcarVentana(QWidget &) { }

} // namespace startup_platform
