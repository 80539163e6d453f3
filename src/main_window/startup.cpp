// Start-up and the status caption.
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "main_window/form1.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

bool instalarTraduccionesDeQt()
{
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_es"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

void Form1::Form_Load()
{
    LimpiarSlots();
    PosTexto = 0;
    connections::SocketControl &escucha = (*WSCRecibe)(0);
    escucha.setLocalPort(PuertoChat);
    escucha.Listen();
    PonerTituloEstado(QStringLiteral("Desconectado"));
}

void Form1::LimpiarSlots()
{
    for (int n = 1; n <= NumeroSlots; ++n)
        SlotOcupado[n] = false;
}

void Form1::Timer1_Timer()
{
    if (WSCEnvia->State() == connections::Connected)
        PonerTituloEstado(QStringLiteral("Conectado"));
    else
        PonerTituloEstado(QStringLiteral("Desconectado"));
}

// The caption is always: local address, " - ", status word.
void Form1::PonerTituloEstado(const QString &palabra)
{
    setWindowTitle(WSCEnvia->LocalIP() + QStringLiteral(" - ") + palabra);
}
