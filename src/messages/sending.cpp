// Sending: the text of the input box goes out whole over the one outgoing link.
#include "connections/socket_control.h"
#include "main_window/form1.h"

#include <QLineEdit>

void Form1::EnviarMensaje()
{
    const QString mensaje = TxtMensaje->text();
    if (mensaje != QString()) {
        if (WSCEnvia->State() != connections::Connected) {
            TxtMensaje->setText(QStringLiteral("NO ESTAS CONECTADO"));
        } else {
            WSCEnvia->SendData(mensaje);
            AgregarEnviado(mensaje);
            TxtMensaje->setText(QString());
            CursorAlFinal();
        }
    }
    TxtMensaje->setFocus();
}

void Form1::CmdEnviar_Click() { EnviarMensaje(); }

void Form1::TxtMensaje_KeyPress(short &KeyAscii)
{
    if (KeyAscii == 13)
        EnviarMensaje();
}
