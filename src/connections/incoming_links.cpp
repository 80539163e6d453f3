// Incoming connections: one slot and one receiving socket each, and the
// connect-back of a copy that has never connected out.
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "main_window/form1.h"

#include <QLineEdit>

void Form1::WSCRecibe_ConnectionRequest(int /*Index*/, qint32 requestID)
{
    const int n = BuscarSlotLibre();
    if (n == 0) {
        // Left unaccepted, the request is refused by the socket layer.
        AvisarSlotsAgotados();
        return;
    }
    SlotOcupado[n] = true;
    WSCRecibe->Load(n);
    (*WSCRecibe)(n).Accept(requestID);
    if (m_lecturaDetenida)
        (*WSCRecibe)(n).PauseReading(); // no room for more yet (receiving.cpp)
    if (!ConexionIniciada) {
        TxtIp->setText((*WSCRecibe)(0).RemoteHostIP());
        Conectar();
    }
}

// The lowest free slot, or 0 when all of them are taken.
int Form1::BuscarSlotLibre() const
{
    for (int n = 1; n <= NumeroSlots; ++n) {
        if (!SlotOcupado[n])
            return n;
    }
    return 0;
}

void Form1::AvisarSlotsAgotados()
{
    if (m_slotsAgotadosAvisado)
        return;
    m_slotsAgotadosAvisado = true;
    informarFallo(QStringLiteral("Se alcanzó el límite de %1 conexiones entrantes; "
                                 "las nuevas conexiones se rechazan mientras esta ventana siga abierta.")
                      .arg(NumeroSlots));
}
