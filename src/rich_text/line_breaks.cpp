#include "rich_text/line_breaks.h"

namespace rich_text {

QString withLfBreaks(const Rope &text)
{
    QString out;
    out.reserve(text.length());
    LfBreakReader reader(text);
    reader.readSlice(text.length(), [&](QStringView piece) { out += piece; });
    return out;
}

} // namespace rich_text
