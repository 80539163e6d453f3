#pragma once

#include "rich_text/rope.h"

#include <QString>

namespace rich_text {

// The text with this system's line breaks, as a copy or a screen reader
// gets it: CR LF and a lone CR become LF. The rope is read chunk by chunk,
// so a CR LF split across two chunks is still one break.
QString withLfBreaks(const Rope &text);

// The same text read a slice at a time, for a reader that must not hold the
// window for the whole of a long text: each slice reads at most a given
// number of the rope's characters, and a CR LF split between two slices is
// still one break.
//
// Invariants:
// - m_read characters of m_text have been read; what they gave with LF
//   breaks has gone to the sinks of the slices so far, except for the LF of
//   a CR LF whose CR ended the last slice (m_afterCr), which is dropped when
//   the next slice starts with it.
class LfBreakReader {
public:
    explicit LfBreakReader(Rope text)
        : m_text(std::move(text))
    {
    }

    qint64 length() const { return m_text.length(); } // of the rope, CR LF counted as two
    qint64 charactersRead() const { return m_read; }
    bool atEnd() const { return m_read >= m_text.length(); }

    // Hands sink(QStringView) the text of the next `maxCharacters` characters
    // of the rope (fewer at its end), in pieces.
    template <typename Sink> void readSlice(qint64 maxCharacters, Sink &&sink);

private:
    template <typename Sink> void givePiece(QStringView piece, Sink &sink);

    Rope m_text;
    qint64 m_read = 0;
    bool m_afterCr = false;
};

template <typename Sink> void LfBreakReader::readSlice(qint64 maxCharacters, Sink &&sink)
{
    qint64 left = maxCharacters;
    if (left <= 0)
        return;
    m_text.forEachChunk(m_read, [&](QStringView chunk) {
        if (chunk.size() > left)
            chunk = chunk.left(left);
        givePiece(chunk, sink);
        m_read += chunk.size();
        left -= chunk.size();
        return left > 0;
    });
}

template <typename Sink> void LfBreakReader::givePiece(QStringView piece, Sink &sink)
{
    if (piece.isEmpty())
        return;
    if (m_afterCr && piece.startsWith(u'\n'))
        piece = piece.mid(1); // the LF of a CR LF already given
    m_afterCr = false;
    for (qsizetype cr; (cr = piece.indexOf(u'\r')) >= 0;) {
        sink(piece.left(cr));
        sink(QStringView(u"\n"));
        const bool lf = cr + 1 < piece.size() && piece[cr + 1] == u'\n';
        piece = piece.mid(cr + (lf ? 2 : 1));
        m_afterCr = !lf && piece.isEmpty();
    }
    sink(piece);
}

} // namespace rich_text
