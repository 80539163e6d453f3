#include "rich_text/document.h"

#include <algorithm>

namespace rich_text {

void Paragraph::append(QStringView chars, const CharFormat& format)
{
    if (chars.isEmpty())
        return;
    text.append(chars);
    if (!spans.empty() && spans.back().format == format)
        spans.back().length += chars.size();
    else
        spans.push_back(Span{chars.size(), format});
}

CharFormat Paragraph::formatAt(qint64 offset) const
{
    for (const Span& span : spans) {
        if (offset < span.length)
            return span.format;
        offset -= span.length;
    }
    return markFormat;
}

void Paragraph::setColor(qint64 from, qint64 to, const Color& color)
{
    from = std::max<qint64>(from, 0);
    to = std::min(to, length());
    if (from >= to)
        return;
    std::vector<Span> result;
    result.reserve(spans.size() + 2);
    auto push = [&result](qint64 length, const CharFormat& format) {
        if (length <= 0)
            return;
        if (!result.empty() && result.back().format == format)
            result.back().length += length;
        else
            result.push_back(Span{length, format});
    };
    qint64 start = 0;
    for (const Span& span : spans) {
        const qint64 end = start + span.length;
        const qint64 a = std::clamp(from, start, end);
        const qint64 b = std::clamp(to, start, end);
        CharFormat coloured = span.format;
        coloured.color = color;
        push(a - start, span.format);
        push(b - a, coloured);
        push(end - b, span.format);
        start = end;
    }
    spans = std::move(result);
}

Document Document::empty(const QString& fontName)
{
    Document doc;
    doc.normalize(fontName);
    return doc;
}

qint64 Document::plainLength() const
{
    qint64 total = 0;
    for (const Paragraph& p : paragraphs)
        total += p.length() + 2;
    return total - 2;
}

QString Document::plainText() const
{
    QString out;
    for (size_t i = 0; i < paragraphs.size(); ++i) {
        if (i)
            out += u"\r\n";
        out += paragraphs[i].text;
    }
    return out;
}

int Document::colorIndex(const Color& color) const
{
    if (!color)
        return 0;
    if (m_indexedColors > colors.size()) {
        m_colorSlots.clear();
        m_indexedColors = 0;
    }
    for (; m_indexedColors < colors.size(); ++m_indexedColors) {
        const Color& c = colors[m_indexedColors];
        if (c && m_indexedColors > 0 && !m_colorSlots.contains(*c))
            m_colorSlots.insert(*c, int(m_indexedColors));
    }
    return m_colorSlots.value(*color, -1);
}

int Document::ensureColor(const Color& color)
{
    const int index = colorIndex(color);
    if (index >= 0)
        return index;
    colors.push_back(color);
    return int(colors.size() - 1);
}

void Document::normalize(const QString& fontName)
{
    if (paragraphs.empty())
        paragraphs.emplace_back();
    if (fonts.empty())
        fonts.push_back(FontEntry{fontName});
    if (colors.empty() || colors.front()) {
        colors.insert(colors.begin(), Color{});
        m_colorSlots.clear();
        m_indexedColors = 0;
    }
    paragraphs.back().markFormat = defaultFormat();
}

}  // namespace rich_text
