#pragma once

#include "rich_text/document.h"
#include "rich_text/rope.h"

#include <vector>

namespace rich_text {

// The RTF source of a document, kept as a header, one piece per paragraph and
// the closing brace, so that a change rewrites only the pieces of the
// paragraphs it touched. The source is ASCII and stored one byte per character.
//
// Invariants, as of the last refresh():
// - m_pieceEnd has one entry per paragraph of the document; m_pieceEnd[i] is
//   where paragraph i's piece ends in m_body, and the entries increase.
// - Piece i is rtf_writer::paragraph(doc, i); m_body is the pieces in order.
// - m_source is m_header + m_body + "}" CR LF.
// Between refreshes, m_staleFirst..m_staleLast (when m_hasStale) are the
// paragraphs whose pieces no longer match the document, and m_headerStale says
// whether the font or colour table changed.
class RtfSource {
public:
    void documentReplaced();
    void paragraphsChanged(size_t first, size_t last);
    void tablesChanged() { m_headerStale = true; }
    // Brings the source up to date with `doc`, rewriting only what is stale.
    void refresh(const Document &doc);

    const Rope &source() const { return m_source; }
    // Position of the closing brace: the source is cut here to be extended.
    qint64 closingBrace() const;
    // Whether `rtf` is this source cut before its closing brace and extended.
    // The check walks the two ropes and stops at shared subtrees, so it costs
    // little when `rtf` was made from this source; `charsCompared` says how
    // many characters it had to read.
    bool isExtendedBy(const Rope &rtf, qint64 *charsCompared) const;

private:
    Rope m_source;
    QByteArray m_header;
    Rope m_body;
    std::vector<qint64> m_pieceEnd;
    bool m_headerStale = true;
    bool m_hasStale = false;
    size_t m_staleFirst = 0;
    size_t m_staleLast = 0;
};

} // namespace rich_text
