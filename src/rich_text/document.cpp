#include "rich_text/document.h"

#include "rich_text/file_text.h"

#include <algorithm>
#include <cstring>

namespace rich_text {

namespace {

constexpr qint64 kBreakLength = 2; // CR LF between paragraphs

// Text goes to the file in stretches of this many characters: each costs
// one leaf in memory, and handing one over keeps the handler within a few
// milliseconds.
constexpr qint64 kSpillStretch = FileStretch::kChars;

QByteArray formatKey(const CharFormat &f)
{
    struct Packed {
        qint32 font;
        qint32 size;
        quint32 color;
        quint8 flags;
    } packed{};
    packed.font = f.font;
    packed.size = f.sizeHalfPoints;
    packed.color = f.color.value_or(0);
    packed.flags = quint8((f.color ? 1 : 0) | (f.bold ? 2 : 0) | (f.italic ? 4 : 0) | (f.underline ? 8 : 0));
    return QByteArray(reinterpret_cast<const char *>(&packed), sizeof packed);
}

} // namespace

Document::Document() { m_paragraphStart.push_back(0); }

Document Document::empty(const QString &fontName)
{
    Document doc;
    doc.normalize(fontName);
    return doc;
}

Document Document::fromPlain(const Rope &plain, const QString &fontName)
{
    Document doc;
    doc.m_text = plain;
    doc.m_length = plain.length();
    if (doc.m_length > 0)
        doc.m_runs.push_back(Run{0, doc.intern(defaultFormat())});
    qint64 pos = 0;
    bool afterCr = false;
    plain.forEachChunk(0, [&](QStringView chunk) {
        for (const QChar c : chunk) {
            ++pos;
            if (afterCr && c == u'\n')
                doc.m_paragraphStart.push_back(pos);
            afterCr = c == u'\r';
        }
        return true;
    });
    doc.normalize(fontName);
    return doc;
}

qint64 Document::paragraphLength(size_t index) const
{
    const qint64 end = index + 1 < m_paragraphStart.size() ? m_paragraphStart[index + 1] - kBreakLength : m_length;
    return end - m_paragraphStart[index];
}

QString Document::paragraphText(size_t index) const
{
    Q_ASSERT(m_open.isEmpty());
    return m_text.mid(m_paragraphStart[index], paragraphLength(index)).toString();
}

CharFormat Document::markFormat(size_t index) const
{
    if (index + 1 >= m_paragraphStart.size())
        return defaultFormat();
    return formatAtPosition(m_paragraphStart[index] + paragraphLength(index));
}

CharFormat Document::formatAt(size_t paragraph, qint64 offset) const
{
    if (offset >= paragraphLength(paragraph))
        return markFormat(paragraph);
    return formatAtPosition(m_paragraphStart[paragraph] + std::max<qint64>(offset, 0));
}

size_t Document::paragraphAt(qint64 pos) const
{
    const size_t after = m_paragraphStart.upperBound(pos);
    return after == 0 ? 0 : after - 1;
}

CharFormat Document::formatAtPosition(qint64 pos) const
{
    if (m_runs.empty() || pos < 0 || pos >= m_length)
        return defaultFormat();
    return m_formats[m_runs[runAt(pos)].format];
}

size_t Document::runAt(qint64 pos) const
{
    const auto it
        = std::upper_bound(m_runs.begin(), m_runs.end(), pos, [](qint64 p, const Run &run) { return p < run.start; });
    return it == m_runs.begin() ? 0 : size_t(it - m_runs.begin() - 1);
}

qint64 Document::runEnd(size_t run) const { return run + 1 < m_runs.size() ? m_runs[run + 1].start : m_length; }

quint32 Document::intern(const CharFormat &format)
{
    const QByteArray key = formatKey(format);
    const auto found = m_formatIndex.constFind(key);
    if (found != m_formatIndex.constEnd())
        return *found;
    const quint32 index = quint32(m_formats.size());
    m_formats.push_back(format);
    m_formatIndex.insert(key, index);
    return index;
}

void Document::appendText(QStringView chars, const CharFormat &format)
{
    if (chars.isEmpty())
        return;
    if (m_runs.empty() || !(m_formats[m_runs.back().format] == format))
        m_runs.push_back(Run{m_length, intern(format)});
    m_open.append(chars);
    m_length += chars.size();
}

void Document::appendShown(const Rope &text, const std::vector<qint64> &breaks, const CharFormat &format)
{
    if (text.isEmpty())
        return;
    commit();
    if (m_runs.empty() || !(m_formats[m_runs.back().format] == format))
        m_runs.push_back(Run{m_length, intern(format)});
    for (const qint64 at : breaks)
        m_paragraphStart.push_back(m_length + at + kBreakLength);
    m_text += text;
    m_length += text.length();
    if (m_memory && m_text.length() - m_spilledTo > recentText())
        spillOneStretch();
}

void Document::endParagraph(const CharFormat &mark)
{
    appendText(u"\r\n", mark);
    m_paragraphStart.push_back(m_length);
}

void Document::removeEmptyLastParagraph()
{
    if (m_paragraphStart.size() < 2 || paragraphLength(m_paragraphStart.size() - 1) != 0)
        return;
    m_paragraphStart.pop_back();
    m_length -= kBreakLength;
    if (m_open.size() >= kBreakLength)
        m_open.chop(kBreakLength);
    else
        m_text = m_text.left(m_length);
    while (!m_runs.empty() && m_runs.back().start >= m_length)
        m_runs.pop_back();
}

void Document::commit()
{
    if (m_open.isEmpty())
        return;
    m_text += Rope(m_open);
    m_open = QString();
    if (m_memory && m_text.length() - m_spilledTo > recentText())
        spillOneStretch();
}

void Document::keepIn(std::shared_ptr<TextMemory> memory)
{
    m_memory = std::move(memory);
    m_paragraphStart.setMemory(m_memory);
    spillOldText();
}

// Characters kept in memory after the file's part: the budget's bytes, at
// two bytes a character at most.
qint64 Document::recentText() const { return std::max<qint64>(m_memory->recentText() / 2, 1); }

bool Document::spillOldText()
{
    if (!m_memory)
        return true;
    commit();
    while (m_text.length() - m_spilledTo > recentText()) {
        if (!spillOneStretch())
            return false;
    }
    return m_paragraphStart.spill();
}

// The oldest stretch of text still in memory goes to the file as one leaf,
// while the file takes more.
bool Document::spillOneStretch()
{
    m_spilledTo = std::min(m_spilledTo, m_text.length());
    // Half the recent text stays, so that the next stretch waits for as much again.
    const qint64 count = std::min(kSpillStretch, m_text.length() - m_spilledTo - recentText() / 2);
    if (count <= 0)
        return true;
    if (!m_memory->canTake())
        return false;
    const Rope stored = FileStretch::store(m_memory, m_text.mid(m_spilledTo, count));
    m_text = m_text.left(m_spilledTo) + stored + m_text.mid(m_spilledTo + count);
    m_spilledTo += count;
    return true;
}

void Document::splitRunAt(qint64 pos)
{
    if (pos <= 0 || pos >= m_length)
        return;
    const size_t r = runAt(pos);
    if (m_runs[r].start != pos)
        m_runs.insert(m_runs.begin() + qsizetype(r) + 1, Run{pos, m_runs[r].format});
}

void Document::mergeRunsAround(size_t first, size_t last)
{
    const size_t from = first > 0 ? first - 1 : 0;
    const size_t to = std::min(last + 1, m_runs.size() - 1);
    size_t out = from;
    for (size_t r = from + 1; r <= to; ++r) {
        if (m_runs[r].format != m_runs[out].format)
            m_runs[++out] = m_runs[r];
    }
    m_runs.erase(m_runs.begin() + qsizetype(out) + 1, m_runs.begin() + qsizetype(to) + 1);
}

std::optional<std::pair<size_t, size_t>> Document::colorRange(qint64 from, qint64 to) const
{
    from = std::max<qint64>(from, 0);
    to = std::min(to, m_length);
    if (from >= to)
        return std::nullopt;
    return std::make_pair(paragraphAt(from), paragraphAt(to - 1));
}

std::optional<std::pair<size_t, size_t>> Document::setColor(qint64 from, qint64 to, const Color &color)
{
    Q_ASSERT(m_open.isEmpty());
    const auto range = colorRange(from, to);
    if (!range)
        return std::nullopt;
    from = std::max<qint64>(from, 0);
    to = std::min(to, m_length);
    // A break is coloured whole: its two positions carry one mark format.
    const auto [first, last] = *range;
    if (from == m_paragraphStart[first] + paragraphLength(first) + 1)
        --from;
    if (to == m_paragraphStart[last] + paragraphLength(last) + 1)
        ++to;
    splitRunAt(from);
    splitRunAt(to);
    const size_t firstRun = runAt(from);
    size_t lastRun = firstRun;
    for (size_t r = firstRun; r < m_runs.size() && m_runs[r].start < to; ++r) {
        CharFormat coloured = m_formats[m_runs[r].format];
        coloured.color = color;
        m_runs[r].format = intern(coloured);
        lastRun = r;
    }
    mergeRunsAround(firstRun, lastRun);
    return std::make_pair(first, last);
}

int Document::colorIndex(const Color &color) const
{
    if (!color)
        return 0;
    for (; m_indexedColors < m_colors.size(); ++m_indexedColors) {
        const Color &c = m_colors[m_indexedColors];
        if (c && m_indexedColors > 0 && !m_colorSlots.contains(*c))
            m_colorSlots.insert(*c, int(m_indexedColors));
    }
    return m_colorSlots.value(*color, -1);
}

int Document::ensureColor(const Color &color)
{
    const int index = colorIndex(color);
    if (index >= 0)
        return index;
    m_colors.push_back(color);
    return int(m_colors.size() - 1);
}

void Document::appendColor(const Color &color) { m_colors.push_back(color); }

int Document::addFont(const FontEntry &font)
{
    m_fonts.push_back(font);
    return int(m_fonts.size() - 1);
}

void Document::renameFont(size_t index, const QString &name) { m_fonts[index].name = name; }

void Document::normalize(const QString &fontName)
{
    if (m_fonts.empty())
        m_fonts.push_back(FontEntry{fontName});
    if (m_colors.empty() || m_colors.front()) {
        m_colors.insert(m_colors.begin(), Color{});
        m_colorSlots.clear();
        m_indexedColors = 0;
    }
}

bool operator==(const Document &a, const Document &b)
{
    if (a.m_fonts != b.m_fonts || a.m_colors != b.m_colors || a.m_paragraphStart != b.m_paragraphStart
        || a.m_length != b.m_length || a.m_runs.size() != b.m_runs.size())
        return false;
    for (size_t r = 0; r < a.m_runs.size(); ++r) {
        if (a.m_runs[r].start != b.m_runs[r].start
            || !(a.m_formats[a.m_runs[r].format] == b.m_formats[b.m_runs[r].format]))
            return false;
    }
    return (a.m_text + Rope(a.m_open)) == (b.m_text + Rope(b.m_open));
}

} // namespace rich_text
