#pragma once

// The transcript's operations on its rich-text control and the running
// position at which the next entry begins. The chat window runs them on its
// transcript; tests and benchmarks run the very same code on theirs.

#include "messages/rtf_literal.h"
#include "rich_text/rope.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <limits>

namespace messages {

// The selection takes a signed 32-bit position; a larger one stays at the end
// of that range instead of wrapping.
inline qint32 aPosicion32(double position)
{
    const double rounded = std::nearbyint(position);
    if (rounded >= std::numeric_limits<qint32>::max())
        return std::numeric_limits<qint32>::max();
    if (rounded <= 0)
        return 0;
    return static_cast<qint32>(rounded);
}

// Appends by rebuilding: the source comes out as plain text, the tail goes in
// just before the document's closing brace, and the whole source is read
// back. The control recognises its own source extended and reads only the tail.
template <typename Control> void AnexarRtf(Control &TxtTexto, const rich_text::Rope &cola)
{
    TxtTexto.setText(TxtTexto.textRtf());
    const rich_text::Rope guardar = TxtTexto.text();
    const qint64 n = TxtTexto.text().length() - 3;
    TxtTexto.setText(guardar.left(n) + cola + rich_text::Rope(u"}"));
    TxtTexto.setTextRtf(TxtTexto.text());
}

template <typename Control> void AgregarEnviado(Control &TxtTexto, double &PosTexto, const QString &texto)
{
    PosTexto = static_cast<double>(texto.length()) + PosTexto + 2;
    AnexarRtf(TxtTexto, rtfLiteral(texto));
}

// `color` is &HBBGGRR.
template <typename Control>
void AgregarRecibido(Control &TxtTexto, double &PosTexto, const QString &texto, quint32 color)
{
    AnexarRtf(TxtTexto, rich_text::Rope(u"\r\n") + rtfLiteral(texto));
    TxtTexto.setSelStart(aPosicion32(PosTexto));
    TxtTexto.setSelLength(
        static_cast<qint32>(std::min<qint64>(texto.length() + 2, std::numeric_limits<qint32>::max())));
    TxtTexto.setSelColor(color);
    PosTexto = static_cast<double>(texto.length()) + PosTexto + 2;
}

template <typename Control> void CursorAlFinal(Control &TxtTexto)
{
    TxtTexto.setSelStart(aPosicion32(static_cast<double>(TxtTexto.text().length())));
}

} // namespace messages
