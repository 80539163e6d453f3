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

// ASCII, one byte per character.
QByteArray header(const Document &doc);
QByteArray paragraph(const Document &doc, size_t index);
// The same, given the paragraph's text, for callers that write many at once.
QByteArray paragraph(const Document &doc, size_t index, QStringView text);
inline constexpr char kClosing[] = "}\r\n";
inline constexpr qint64 kClosingLength = 3;
static_assert(sizeof kClosing - 1 == kClosingLength);
Rope write(const Document &doc);

} // namespace rtf_writer
} // namespace rich_text
