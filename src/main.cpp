#include "connections/lingering_connections.h"
#include "connections/open_file_limit.h"
#include "main_window/form1.h"

#include "startup_platform.h"

#include <QApplication>

namespace {

// Enough descriptors for every incoming connection the window accepts, plus
// the listener, the outgoing link and what Qt and the display need.
constexpr int kDescriptoresNecesarios = Form1::NumeroSlots + 128;

} // namespace

int main(int argc, char **argv)
{
    if (!startup_platform::puedeAbrirVentana(argc, argv))
        return 2;
    connections::raiseOpenFileLimit(kDescriptoresNecesarios);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Varlo-Zintabel"));
    QApplication::setApplicationVersion(QStringLiteral(VZ_VERSION_TEXT));
    QApplication::setDesktopFileName(QStringLiteral("varlo-zintabel"));
    instalarTraduccionesDeQt(); // without the file Qt's own texts stay in English
    startup_platform::cargarFuentesPropias();

    // Outlives the window, whose sockets hand it their connections.
    connections::LingeringConnections lingering;
    Form1 window(lingering);
    startup_platform::enmarcarVentana(window);
    // Any window without a parent shows the same icon.
    QApplication::setWindowIcon(window.windowIcon());
    window.show();
    const int codigo = app.exec();
    // What was sent still reaches the peers before the process ends.
    connections::finishConnections(window, lingering);
    return codigo;
}
