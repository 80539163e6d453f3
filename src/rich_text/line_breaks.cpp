#include "rich_text/line_breaks.h"

namespace rich_text {

QString withLfBreaks(const Rope &text)
{
    QString out;
    out.reserve(text.length());
    bool afterCr = false; // the chunk before ended in CR
    text.forEachChunk(0, [&](QStringView chunk) {
        if (afterCr && chunk.startsWith(u'\n'))
            chunk = chunk.mid(1); // the LF of a CR LF already written
        afterCr = false;
        for (qsizetype cr; (cr = chunk.indexOf(u'\r')) >= 0;) {
            out += chunk.left(cr);
            out += u'\n';
            const bool lf = cr + 1 < chunk.size() && chunk[cr + 1] == u'\n';
            chunk = chunk.mid(cr + (lf ? 2 : 1));
            afterCr = !lf && chunk.isEmpty();
        }
        out += chunk;
        return true;
    });
    return out;
}

} // namespace rich_text
