#include "messages/rtf_literal.h"

namespace messages {

namespace {

bool isCrLf(QStringView text, qsizetype i) { return text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n'; }

} // namespace

char16_t shownUnit(QStringView text, qsizetype i)
{
    const char16_t u = text[i].unicode();
    if (u == 0x7F)
        return 0x2421;
    if (u < 0x20)
        return char16_t(0x2400 + u);
    // C1 controls have no pictures of their own: all show as the substitute
    // symbol of the same block (U+2426), in the same fonts as the C0 ones.
    if (u >= 0x80 && u <= 0x9F)
        return 0x2426;
    if (QChar::isHighSurrogate(u))
        return i + 1 < text.size() && text[i + 1].isLowSurrogate() ? u : 0xFFFD;
    if (QChar::isLowSurrogate(u))
        return i > 0 && text[i - 1].isHighSurrogate() ? u : 0xFFFD;
    return u;
}

rich_text::Rope rtfLiteral(QStringView text)
{
    QString out;
    out.reserve(text.size() + 16);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (isCrLf(text, i)) {
            out += u"\\par\r\n";
            ++i;
        } else if (u == '\r' || u == '\n') {
            out += u"\\line ";
        } else if (u == '\t') {
            out += u"\\tab ";
        } else if (u == '\\' || u == '{' || u == '}') {
            out += u'\\';
            out += QChar(u);
        } else if (u >= 0x20 && u < 0x7F) {
            out += QChar(u);
        } else {
            out += QStringLiteral("\\u%1?").arg(int(qint16(shownUnit(text, i))));
        }
    }
    // A \par at the very end of a document is read as its final paragraph
    // mark, so an entry that is empty or ends with CR LF gets an empty group
    // to keep its last paragraph.
    if (text.isEmpty() || text.endsWith(u"\r\n"))
        out += u"{}";
    return rich_text::Rope(out);
}

} // namespace messages
