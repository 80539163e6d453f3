// Receiving: whatever one read brings on any incoming connection is one entry.
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "main_window/form1.h"
#include "rich_text/rich_text_box.h"

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
// to a temporary file. When the file cannot take more, nothing more is read
// from the peers: their bytes wait in the network, TCP holding them at the
// senders, so that nothing is lost and memory does not fill. A disk still
// writing what came before is waited for a moment, silently. A disk without
// room is told to the user once; every second the transcript tries again, and
// once the disk has room the reading goes on where it stopped. Memory's
// record of where the file's text lies has a budget too: once it is spent,
// reading stops the same way, for good.
void Form1::VigilarEspacio()
{
    if (m_lecturaDetenida || TxtTexto->model().canSpill())
        return;
    PausarLectura(true);
    EsperarAlDisco();
}

void Form1::EsperarAlDisco()
{
    if (TxtTexto->model().spillFull()) {
        // The file still has room, but memory may know of no more of it: a
        // conversation of some 1,000 GiB, hours of the fastest flood.
        m_esperaDeEspacio->stop();
        informarFallo(QStringLiteral("La conversación ha llegado al mayor tamaño que este programa puede llevar: "
                                     "se deja de recibir de los demás equipos. Lo recibido se conserva, y lo que "
                                     "envían espera en la red."));
        return;
    }
    const bool ocupado = TxtTexto->model().spillBusy();
    m_esperaDeEspacio->setInterval(ocupado ? kEsperaDeDiscoOcupadoMs : kEsperaDeEspacioMs);
    if (!m_esperaDeEspacio->isActive())
        m_esperaDeEspacio->start();
    if (!ocupado && !std::exchange(m_faltaEspacioDicha, true))
        informarFallo(QStringLiteral("No queda espacio en el disco para la conversación: se deja de recibir de los "
                                     "demás equipos hasta que vuelva a haberlo. No se pierde nada: lo que envían "
                                     "espera en la red."));
}

void Form1::EsperaDeEspacio_Timer()
{
    if (!TxtTexto->trySpill()) {
        EsperarAlDisco();
        return;
    }
    m_esperaDeEspacio->stop();
    PausarLectura(false);
    if (std::exchange(m_faltaEspacioDicha, false))
        informarFallo(QStringLiteral("Vuelve a haber espacio en el disco: se sigue recibiendo."));
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
