// Receiving: whatever one read brings on any incoming connection is one entry.
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "main_window/form1.h"
#include "rich_text/rich_text_box.h"

void Form1::WSCRecibe_DataArrival(int Index, qint32 /*bytesTotal*/)
{
    QString recibido;
    (*WSCRecibe)(Index).GetData(recibido);
    AgregarRecibido(recibido);
    AnunciarLlegada(recibido);
    PedirAtencion((*WSCRecibe)(Index).RemoteHostIP(), recibido);
}

void Form1::AnunciarLlegada(const QString &recibido) { TxtTexto->announce(recibido); }
