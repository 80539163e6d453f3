// The one outgoing link: connect and disconnect.
#include "connections/socket_control.h"
#include "main_window/form1.h"

#include <QLineEdit>
#include <QPushButton>

void Form1::Conectar()
{
    WSCEnvia->setRemoteHost(TxtIp->text());
    WSCEnvia->setRemotePort(PuertoChat);
    WSCEnvia->Connect();
    ConexionIniciada = true;
    TxtIp->setEnabled(false);
    CmdConectar->setEnabled(false);
    CmdDesconectar->setEnabled(true);
    if (WSCEnvia->State() == connections::Connecting)
        PonerTituloEstado(QStringLiteral("Conectando..."));
}

void Form1::CmdConectar_Click()
{
    Conectar();
    TxtMensaje->setFocus();
}

void Form1::CmdDesconectar_Click()
{
    CmdConectar->setEnabled(true);
    TxtIp->setEnabled(true);
    CmdDesconectar->setEnabled(false);
    WSCEnvia->Close();
}
