// The transcript: sent and received entries appended to the rich-text box,
// and the running position at which the next entry begins.
#include "messages/transcript.h"

#include "main_window/form1.h"
#include "rich_text/rich_text_box.h"

void Form1::AgregarEnviado(const QString &texto) { messages::AgregarEnviado(*TxtTexto, PosTexto, texto); }

void Form1::AgregarRecibido(const QString &texto)
{
    messages::AgregarRecibido(*TxtTexto, PosTexto, texto, ColorRecibido);
}

void Form1::CursorAlFinal() { messages::CursorAlFinal(*TxtTexto); }
