#include "shown_literally.h"

#include "messages/rtf_literal.h"

namespace support {

QString shownLiterally(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (u == '\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            out += u"\r\n";
            ++i;
        } else if (u == '\r' || u == '\n') {
            out += u'\n';
        } else if (u == '\t') {
            out += u'\t';
        } else {
            out += QChar(messages::shownUnit(text, i));
        }
    }
    return out;
}

} // namespace support
