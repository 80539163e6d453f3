#pragma once

#include "rich_text/rope.h"

#include <QString>

namespace rich_text {

// The text with this system's line breaks, as a copy or a screen reader
// gets it: CR LF and a lone CR become LF. The rope is read chunk by chunk,
// so a CR LF split across two chunks is still one break.
QString withLfBreaks(const Rope &text);

} // namespace rich_text
