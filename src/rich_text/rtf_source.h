#pragma once

#include "rich_text/document.h"
#include "rich_text/rope.h"
#include "rich_text/rtf_writer.h"

#include <memory>
#include <vector>

namespace rich_text {

class SourceBody;

// The RTF source of a document, which is a function of it: nothing of it is
// stored but the header and lengths. source() is the header, one generated
// leaf standing for the paragraphs' pieces, and the closing brace; the
// pieces are written only if someone reads those characters. A source handed
// out stays what it was: before the document changes under it, a source
// that someone still holds is written out in full (see SourceBody).
//
// The owner tells it of every change of the document: before and after a
// change of some paragraphs, an append, or a replacement.
//
// Invariants:
// - m_bodyLength is the length of rtf_writer::body(doc, count), the sum of
//   the pieces with the last one written as final.
// - m_recent holds at most kRecent paragraphs' textLength() as they are now.
// - m_known, in paragraph order, holds the lengths that the last append
//   brought and the one of the paragraph before them; an entry holds for its
//   paragraph while that starts and ends where it says.
// - m_lastBeforeAppend, between beforeAppend() and afterAppend(), is the
//   last paragraph's length as it was.
// - m_live holds every SourceBody handed out that may still be alive and
//   not yet written out; each describes paragraphs of the document as it is.
// - m_source, unless empty, is the source of the document as it is.
class RtfSource {
public:
    explicit RtfSource(const Document &doc);
    ~RtfSource();
    RtfSource(const RtfSource &) = delete;
    RtfSource &operator=(const RtfSource &) = delete;

    void beforeReplace();
    void afterReplace();
    // Paragraphs [first, last] are about to change their text or marks.
    void beforeChange(size_t first, size_t last);
    void afterChange(size_t first, size_t last);
    // Paragraphs are about to be added after the last one, which keeps its
    // text; afterwards `oldCount` were there before. `known` (in paragraph
    // order) spares reading the text of the paragraphs it still describes.
    void beforeAppend();
    void afterAppend(size_t oldCount, std::vector<rtf_writer::KnownTextLength> known = {});
    void tablesChanged();

    const Rope &source() const;
    // Position of the closing brace: the source is cut here to be extended.
    qint64 closingBrace() const;
    // Whether `rtf` is this source cut before its closing brace and extended.
    // The check walks the two ropes and stops at shared subtrees, so it costs
    // little when `rtf` was made from this source; `charsCompared` says how
    // many characters it had to read.
    bool isExtendedBy(const Rope &rtf, qint64 *charsCompared) const;
    // Characters of paragraph text read so far to learn how long the source
    // writes them.
    qint64 charactersCounted() const { return m_charactersCounted; }

private:
    static constexpr size_t kRecent = 4;
    struct Recent {
        size_t paragraph;
        qint64 textLength;
    };
    qint64 textLength(size_t paragraph);
    qint64 piecesLength(size_t first, size_t last);
    void forget(size_t from);
    // Writes out every live source that holds paragraph `from` or later.
    void freezeFrom(size_t from);

    const Document &m_doc;
    mutable QByteArray m_header;
    mutable bool m_headerStale = true;
    qint64 m_bodyLength = 0;
    std::vector<Recent> m_recent;
    std::vector<rtf_writer::KnownTextLength> m_known;
    rtf_writer::KnownTextLength m_lastBeforeAppend{};
    qint64 m_charactersCounted = 0;
    mutable std::vector<std::weak_ptr<const SourceBody>> m_live;
    mutable Rope m_source;
};

} // namespace rich_text
