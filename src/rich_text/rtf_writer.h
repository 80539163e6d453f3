#pragma once

#include "rich_text/document.h"
#include "rich_text/rope.h"

namespace rich_text {

// Writes documents the way classic rich-edit controls do: a header with the
// font table (and a colour table only when colours are in use), then each
// paragraph ended by \par and CR LF, the final paragraph mark always in the
// default format, and "}" CR LF.
//
// Each paragraph is written starting from the format of the previous mark, so
// a paragraph's text depends only on itself and its predecessor's mark; that
// lets a caller re-write just the paragraphs that changed.
namespace rtf_writer {

// Counts what a piece writes for text, a unit at a time, as textLength()
// does: the escaping of each unit, and the space that a literal needs after
// a control word.
class TextLength {
public:
    // `count` printable ASCII characters that RTF takes as themselves
    // (not \ { }).
    void addPlain(qint64 count = 1)
    {
        m_length += count + qint64(m_afterWord);
        m_afterWord = false;
    }
    // `count` characters beyond ASCII, each written as "\uN?" in `length`
    // characters.
    void addEscapes(qint64 count, qint64 length)
    {
        m_length += count * length;
        m_afterWord = false;
    }
    void add(char16_t u);
    qint64 length() const { return m_length; }

private:
    qint64 m_length = 0;
    bool m_afterWord = false; // a control word was counted last
};

// A paragraph's textLength() known without reading it: it holds for as long
// as the paragraph starts at `start` and is `length` characters long, since
// then its text is the one that was counted.
struct KnownTextLength {
    size_t paragraph;
    qint64 start;
    qint64 length;
    qint64 textLength;
};

// ASCII, one byte per character.
QByteArray header(const Document &doc);
QByteArray paragraph(const Document &doc, size_t index);
// The length of a paragraph's text as a piece writes it, when written with no
// format change; it depends on the text alone.
qint64 textLength(const Document &doc, size_t index);
// The length of a paragraph's piece, written as the final paragraph (its
// mark in the default format) or not, given its textLength().
qint64 paragraphLength(const Document &doc, size_t index, bool final, qint64 textLength);
// The pieces of paragraphs [0, paragraphs), the last written as final.
Rope body(const Document &doc, size_t paragraphs);
inline constexpr char kClosing[] = "}\r\n";
inline constexpr qint64 kClosingLength = 3;
static_assert(sizeof kClosing - 1 == kClosingLength);
Rope write(const Document &doc);

} // namespace rtf_writer
} // namespace rich_text
