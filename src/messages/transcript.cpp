// The transcript: sent and received entries appended to the rich-text box,
// and the running position at which the next entry begins.
#include "main_window/form1.h"
#include "messages/rtf_literal.h"
#include "rich_text/rich_text_box.h"

#include <cmath>
#include <limits>

namespace {

// The selection takes a signed 32-bit position; a larger one stays at the end
// of that range instead of wrapping.
qint32 aPosicion32(double position)
{
    const double rounded = std::nearbyint(position);
    if (rounded >= std::numeric_limits<qint32>::max())
        return std::numeric_limits<qint32>::max();
    if (rounded <= 0)
        return 0;
    return static_cast<qint32>(rounded);
}

} // namespace

void Form1::AgregarEnviado(const QString &texto)
{
    PosTexto = static_cast<double>(texto.length()) + PosTexto + 2;
    AnexarRtf(messages::rtfLiteral(texto));
}

void Form1::AgregarRecibido(const QString &texto)
{
    AnexarRtf(rich_text::Rope(u"\r\n") + messages::rtfLiteral(texto));
    TxtTexto->setSelStart(aPosicion32(PosTexto));
    TxtTexto->setSelLength(static_cast<qint32>(std::min<qint64>(texto.length() + 2, std::numeric_limits<qint32>::max())));
    TxtTexto->setSelColor(ColorRecibido);
    PosTexto = static_cast<double>(texto.length()) + PosTexto + 2;
}

void Form1::CursorAlFinal()
{
    TxtTexto->setSelStart(aPosicion32(static_cast<double>(TxtTexto->text().length())));
}

// Appends by rebuilding: the source comes out as plain text, the tail goes in
// just before the document's closing brace, and the whole source is read back.
void Form1::AnexarRtf(const rich_text::Rope &cola)
{
    TxtTexto->setText(TxtTexto->textRtf());
    const rich_text::Rope guardar = TxtTexto->text();
    const qint64 n = TxtTexto->text().length() - 3;
    TxtTexto->setText(guardar.left(n) + cola + rich_text::Rope(u"}"));
    TxtTexto->setTextRtf(TxtTexto->text());
}
