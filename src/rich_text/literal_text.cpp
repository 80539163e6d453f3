#include "rich_text/literal_text.h"

#include <QString>

namespace rich_text {

namespace {

bool isCrLf(QStringView text, qsizetype i) { return text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n'; }

// Shown as it is and written as itself in RTF.
bool isPlainPrintable(char16_t u) { return u >= 0x20 && u < 0x7F && u != '\\' && u != '{' && u != '}'; }

// Characters of "\uN?" for a shown unit, written as a signed 16-bit N.
qint64 unicodeEscapeLength(char16_t u)
{
    const int n = qint16(u);
    qint64 digits = n < 0 ? 2 : 1; // the sign counts as a digit
    for (int v = n < 0 ? -n : n; v >= 10; v /= 10)
        ++digits;
    return 3 + digits;
}

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

Rope literalRtf(QStringView text)
{
    // One pass finds what the control shows and how long the RTF is; text
    // that shows as it is (most chat text) is taken over unchanged.
    QString shown;
    std::vector<qint64> breaks;
    qint64 rtfLength = 0;
    bool changed = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        char16_t out = u;
        if (isPlainPrintable(u)) {
            rtfLength += 1;
        } else if (isCrLf(text, i)) {
            breaks.push_back(i);
            rtfLength += 6; // "\par" CR LF
            if (changed) {
                shown += u"\r\n";
            }
            ++i;
            continue;
        } else if (u == '\r' || u == '\n') {
            out = u'\n';
            rtfLength += 6; // "\line "
        } else if (u == '\t') {
            rtfLength += 5; // "\tab "
        } else if (u == '\\' || u == '{' || u == '}') {
            rtfLength += 2;
        } else {
            out = shownUnit(text, i);
            rtfLength += unicodeEscapeLength(out);
        }
        if (out != u && !changed) {
            shown = text.left(i).toString();
            shown.reserve(text.size());
            changed = true;
        }
        if (changed)
            shown += QChar(out);
    }
    const bool closed = text.isEmpty() || text.endsWith(u"\r\n");
    if (closed)
        rtfLength += 2;
    Rope shownRope = changed ? Rope(shown) : Rope(text);
    return Rope::generated(
        std::make_shared<const LiteralText>(std::move(shownRope), std::move(breaks), closed, rtfLength));
}

LiteralText::LiteralText(Rope shown, std::vector<qint64> breaks, bool closed, qint64 rtfLength)
    : GeneratedText(rtfLength)
    , m_shown(std::move(shown))
    , m_breaks(std::move(breaks))
    , m_closed(closed)
{
}

// The shown text holds everything the RTF says: a CR only in CR LF, an LF
// alone for a line break, stand-ins for the control characters.
Rope LiteralText::make() const
{
    QString out;
    out.reserve(length());
    bool afterCr = false;
    m_shown.forEachChunk(0, [&](QStringView chunk) {
        for (const QChar c : chunk) {
            const char16_t u = c.unicode();
            if (afterCr) {
                afterCr = false;
                continue; // the LF of a CR LF
            }
            if (isPlainPrintable(u))
                out += c;
            else if (u == '\r') {
                out += u"\\par\r\n";
                afterCr = true;
            } else if (u == '\n')
                out += u"\\line ";
            else if (u == '\t')
                out += u"\\tab ";
            else if (u == '\\' || u == '{' || u == '}') {
                out += u'\\';
                out += c;
            } else
                out += QStringLiteral("\\u%1?").arg(int(qint16(u)));
        }
        return true;
    });
    if (m_closed)
        out += u"{}";
    return Rope(out);
}

} // namespace rich_text
