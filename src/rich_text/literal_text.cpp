#include "rich_text/literal_text.h"

#include "rich_text/rtf_writer.h"

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
    const int v = n < 0 ? -n : n;
    const qint64 digits = 1 + (v >= 10) + (v >= 100) + (v >= 1000) + (v >= 10000);
    return 3 + digits + (n < 0); // the sign counts as a digit
}

// Shown as itself and written as "\uN?": most characters beyond ASCII.
bool isPlainEscaped(char16_t u) { return u >= 0xA0 && !QChar::isSurrogate(u); }

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

namespace {

// What literalRtf() learns of a text in its one pass.
class LiteralScan {
public:
    explicit LiteralScan(QStringView text)
        : m_text(text)
    {
    }

    // Units [at, at + count) show as they are; each is written as itself
    // (`rtfEach` 1) or as one escape of `rtfEach` characters.
    void asTheyAre(qsizetype at, qsizetype count, qint64 rtfEach)
    {
        m_rtfLength += count * rtfEach;
        if (rtfEach == 1)
            m_written.addPlain(count);
        else
            m_written.addEscapes(count, rtfEach);
        if (m_changed)
            m_shown.append(QStringView(m_text).sliced(at, count));
    }
    void paragraphBreak(qsizetype at)
    {
        m_breaks.push_back(at);
        m_textLengths.push_back(m_written.length());
        m_written = {};
        m_rtfLength += 6; // "\par" CR LF
        if (m_changed)
            m_shown += u"\r\n";
    }
    // Unit `at`, shown as `shown`, written in RTF as `rtfLength` characters.
    void other(qsizetype at, char16_t shown, qint64 rtfLength)
    {
        m_rtfLength += rtfLength;
        m_written.add(shown);
        if (shown != m_text[at].unicode() && !m_changed) {
            m_shown = m_text.left(at).toString();
            m_shown.reserve(m_text.size());
            m_changed = true;
        }
        if (m_changed)
            m_shown += QChar(shown);
    }

    Rope finish()
    {
        m_textLengths.push_back(m_written.length());
        const bool closed = m_text.isEmpty() || m_text.endsWith(u"\r\n");
        if (closed)
            m_rtfLength += 2;
        Rope shownRope = m_changed ? Rope(m_shown) : Rope(m_text);
        return Rope::generated(std::make_shared<const LiteralText>(std::move(shownRope), std::move(m_breaks),
                                                                   std::move(m_textLengths), closed, m_rtfLength));
    }

private:
    QStringView m_text;
    QString m_shown; // once m_changed
    bool m_changed = false;
    std::vector<qint64> m_breaks;
    std::vector<qint64> m_textLengths;
    rtf_writer::TextLength m_written; // of the paragraph under way
    qint64 m_rtfLength = 0;
};

} // namespace

Rope literalRtf(QStringView text)
{
    // One pass finds what the control shows, how long the RTF is and how
    // long the source will write each paragraph; text that shows as it is
    // (most chat text) is taken over unchanged, a run of like characters at
    // a time.
    LiteralScan scan(text);
    const char16_t *units = text.utf16();
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size;) {
        const char16_t u = units[i];
        qsizetype end = i + 1;
        if (isPlainPrintable(u)) {
            while (end < size && isPlainPrintable(units[end]))
                ++end;
            scan.asTheyAre(i, end - i, 1);
        } else if (isPlainEscaped(u)) {
            const qint64 escape = unicodeEscapeLength(u);
            while (end < size && isPlainEscaped(units[end]) && unicodeEscapeLength(units[end]) == escape)
                ++end;
            scan.asTheyAre(i, end - i, escape);
        } else if (isCrLf(text, i)) {
            scan.paragraphBreak(i);
            end = i + 2;
        } else if (u == '\r' || u == '\n') {
            scan.other(i, u'\n', 6); // "\line "
        } else if (u == '\t') {
            scan.other(i, u, 5); // "\tab "
        } else if (u == '\\' || u == '{' || u == '}') {
            scan.other(i, u, 2);
        } else {
            const char16_t shown = shownUnit(text, i);
            scan.other(i, shown, unicodeEscapeLength(shown));
        }
        i = end;
    }
    return scan.finish();
}

LiteralText::LiteralText(Rope shown, std::vector<qint64> breaks, std::vector<qint64> textLengths, bool closed,
                         qint64 rtfLength)
    : GeneratedText(rtfLength)
    , m_shown(std::move(shown))
    , m_breaks(std::move(breaks))
    , m_textLengths(std::move(textLengths))
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
