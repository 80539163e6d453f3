#pragma once

// The transcript's operations on its rich-text control and the running
// position at which the next entry begins. The chat window runs them on its
// transcript; tests and benchmarks run the very same code on theirs.

#include "messages/rtf_literal.h"
#include "rich_text/rope.h"
#include "rich_text/rtf_writer.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <concepts>

namespace messages {

// A position as the control's selection takes it: whole, not narrowed to
// 32 bits, so that past 2^31 characters the entry that arrived is the one
// coloured and the caret goes to the real end. A double holds every position
// exactly up to 2^53.
inline qint64 aPosicion(double position)
{
    constexpr double kMayorExacta = 9007199254740992.0; // 2^53
    const double rounded = std::nearbyint(position);
    if (!(rounded > 0))
        return 0;
    return static_cast<qint64>(std::min(rounded, kMayorExacta));
}

// Converts only to qint64: a control whose selection members take a
// narrower type (and would cut positions past 2^31) does not compile here.
struct PosicionEntera {
    template <typename T>
    requires std::same_as<T, qint64>
    operator T() const { return 0; }
};

template <typename Control>
concept TomaPosicionesEnteras = requires(Control &control, PosicionEntera p)
{
    control.setSelStart(p);
    control.setSelLength(p);
};

// The source ends with its closing brace and CR LF: the rebuild cuts these
// three characters off to put the tail in their place.
constexpr qint64 kCierreRtf = 3;
static_assert(kCierreRtf == rich_text::rtf_writer::kClosingLength,
              "the rebuild cuts off exactly what the writer closes the source with");

// Appends by rebuilding: the source comes out as plain text, the tail goes in
// just before the document's closing brace, and the whole source is read
// back. The control recognises its own source extended and reads only the tail.
template <typename Control> void AnexarRtf(Control &TxtTexto, const rich_text::Rope &cola)
{
    TxtTexto.setText(TxtTexto.textRtf());
    const rich_text::Rope guardar = TxtTexto.text();
    const qint64 n = TxtTexto.text().length() - kCierreRtf;
    TxtTexto.setText(guardar.left(n) + cola + rich_text::Rope(u"}"));
    TxtTexto.setTextRtf(TxtTexto.text());
}

template <typename Control> void AgregarEnviado(Control &TxtTexto, double &PosTexto, const QString &texto)
{
    PosTexto = static_cast<double>(texto.length()) + PosTexto + 2;
    AnexarRtf(TxtTexto, rtfLiteral(texto));
}

// `color` is &HBBGGRR.
template <TomaPosicionesEnteras Control>
void AgregarRecibido(Control &TxtTexto, double &PosTexto, const QString &texto, quint32 color)
{
    AnexarRtf(TxtTexto, rich_text::Rope(u"\r\n") + rtfLiteral(texto));
    TxtTexto.setSelStart(aPosicion(PosTexto));
    TxtTexto.setSelLength(qint64(texto.length()) + 2);
    TxtTexto.setSelColor(color);
    PosTexto = static_cast<double>(texto.length()) + PosTexto + 2;
}

template <TomaPosicionesEnteras Control> void CursorAlFinal(Control &TxtTexto)
{
    TxtTexto.setSelStart(TxtTexto.text().length());
}

} // namespace messages
