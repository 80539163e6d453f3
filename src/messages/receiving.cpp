// Receiving: whatever one read brings on any incoming connection is one entry.
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "main_window/form1.h"
#include "rich_text/rich_text_box.h"
#include "rich_text/text_memory.h"

#include <QTimer>

#include <utility>

void Form1::WSCRecibe_DataArrival(int Index, qint32 /*bytesTotal*/)
{
    QString recibido;
    (*WSCRecibe)(Index).GetData(recibido);
    AgregarRecibido(recibido);
    AnunciarLlegada(recibido);
    PedirAtencion((*WSCRecibe)(Index).RemoteHostIP(), recibido);
    VigilarEspacio();
}

void Form1::AnunciarLlegada(const QString &recibido) { TxtTexto->announce(recibido); }

// The transcript keeps in memory only what is recent or in use; the rest goes
// to a temporary file. While the file takes nothing more, nothing more is
// read from the peers: their bytes wait in the network, TCP holding them at
// the senders, so that nothing is lost and memory does not fill. A disk only
// behind with its writing is waited for silently; one that refuses to write,
// or no folder where the file can be made, is told to the user once. A timer
// of its own tries again until the file takes what is due; then reading goes
// on where it stopped, and the user is told.
void Form1::VigilarEspacio()
{
    if (m_lecturaDetenida || TxtTexto->trySpill())
        return;
    PausarLectura(true);
    m_esperaDelDisco->start();
    DecirPorQueSeEspera();
}

void Form1::EsperaDelDisco_Timer()
{
    if (!TxtTexto->trySpill()) {
        DecirPorQueSeEspera();
        return;
    }
    m_esperaDelDisco->stop();
    PausarLectura(false);
    switch (std::exchange(m_esperaDicha, EsperaDicha::Ninguna)) {
    case EsperaDicha::Ninguna:
        break;
    case EsperaDicha::FaltaEspacio:
        informarFallo(QStringLiteral("Vuelve a haber espacio en el disco: se sigue recibiendo."));
        break;
    case EsperaDicha::OtroMotivo:
        informarFallo(QStringLiteral("Ya se puede guardar la conversación: se sigue recibiendo."));
        break;
    }
}

namespace {

QString porQueNoSePuede(rich_text::SpillFile::Problem problema, int codigo)
{
    using Problem = rich_text::SpillFile::Problem;
    switch (problema) {
    case Problem::None:
    case Problem::Other:
        break;
    case Problem::NoSpace:
        return QStringLiteral("no le queda espacio");
    case Problem::ReadOnly:
        return QStringLiteral("es de solo lectura");
    case Problem::NoPermission:
        return QStringLiteral("no hay permiso para escribir en ella");
    case Problem::Missing:
        return QStringLiteral("no existe");
    }
    return QStringLiteral("el sistema dio el error %1").arg(codigo);
}

} // namespace

// Once per wait, and only when there is something to tell.
void Form1::DecirPorQueSeEspera()
{
    using Reason = rich_text::TextMemory::Wait::Reason;
    const rich_text::TextMemory::Wait espera = TxtTexto->model().memory()->waiting();
    if (m_esperaDicha != EsperaDicha::Ninguna || espera.reason == Reason::None || espera.reason == Reason::Behind)
        return;
    const QString despues = QStringLiteral("No se pierde nada: lo que envían espera en la red.");
    if (espera.problem == rich_text::SpillFile::Problem::NoSpace) {
        m_esperaDicha = EsperaDicha::FaltaEspacio;
        informarFallo(QStringLiteral("No queda espacio en el disco para la conversación: se deja de recibir de los "
                                     "demás equipos hasta que vuelva a haberlo. ")
                      + despues);
        return;
    }
    m_esperaDicha = EsperaDicha::OtroMotivo;
    if (espera.reason == Reason::Refused) {
        informarFallo(QStringLiteral("No se puede escribir la conversación en el disco (%1): se deja de recibir de "
                                     "los demás equipos hasta que se pueda. ")
                          .arg(porQueNoSePuede(espera.problem, espera.code))
                      + despues);
        return;
    }
    QStringList carpetas;
    for (const rich_text::SpillFile::Refusal &r : espera.folders)
        carpetas.append(QStringLiteral("«%1» %2").arg(r.folder, porQueNoSePuede(r.problem, r.code)));
    informarFallo(QStringLiteral("No hay ninguna carpeta donde guardar la conversación (%1): se deja de recibir de "
                                 "los demás equipos hasta que la haya. ")
                      .arg(carpetas.join(QStringLiteral("; ")))
                  + despues);
}

void Form1::PausarLectura(bool pausar)
{
    m_lecturaDetenida = pausar;
    for (int n = 1; n <= NumeroSlots; ++n) {
        if (!SlotOcupado[n])
            continue;
        if (pausar)
            (*WSCRecibe)(n).PauseReading();
        else
            (*WSCRecibe)(n).ResumeReading();
    }
}
