#include "rich_text/line_index.h"

#include <algorithm>
#include <limits>

namespace rich_text {

namespace {

size_t lowestBit(size_t k) { return k & (~k + 1); }

} // namespace

void LineIndex::resize(size_t paragraphs)
{
    if (paragraphs <= m_lines.size()) {
        // Entries before the cut only ever sum paragraphs before it.
        m_lines.resize(paragraphs);
        m_tree.resize(paragraphs);
        return;
    }
    qint64 total = linesBefore(m_lines.size());
    while (m_lines.size() < paragraphs) {
        const size_t k = m_lines.size() + 1;
        m_lines.push_back(1);
        m_tree.push_back(1 + total - linesBefore(k - lowestBit(k)));
        total += 1;
    }
}

void LineIndex::setLines(size_t paragraph, qint64 lines)
{
    const qint32 clamped = qint32(std::clamp<qint64>(lines, 1, std::numeric_limits<qint32>::max()));
    const qint64 delta = qint64(clamped) - m_lines[paragraph];
    if (delta == 0)
        return;
    m_lines.set(paragraph, clamped);
    for (size_t k = paragraph + 1; k <= m_tree.size(); k += lowestBit(k))
        m_tree.set(k - 1, m_tree[k - 1] + delta);
}

qint64 LineIndex::linesBefore(size_t paragraph) const
{
    qint64 sum = 0;
    for (size_t k = std::min(paragraph, m_tree.size()); k > 0; k -= lowestBit(k))
        sum += m_tree[k - 1];
    return sum;
}

std::pair<size_t, qint64> LineIndex::find(qint64 line) const
{
    if (m_lines.empty())
        return {0, 0};
    line = std::clamp<qint64>(line, 0, total() - 1);
    // Binary lifting: the largest k whose prefix sum stays at or below `line`.
    size_t k = 0;
    size_t step = 1;
    while (step * 2 <= m_tree.size())
        step *= 2;
    qint64 remaining = line;
    for (; step > 0; step /= 2) {
        if (k + step <= m_tree.size() && m_tree[k + step - 1] <= remaining) {
            k += step;
            remaining -= m_tree[k - 1];
        }
    }
    return {k, remaining};
}

} // namespace rich_text
