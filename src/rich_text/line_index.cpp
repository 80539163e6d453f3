#include "rich_text/line_index.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace rich_text {

namespace {

size_t lowestBit(size_t k) { return k & (~k + 1); }
qint32 clampedLines(qint64 lines) { return qint32(std::clamp<qint64>(lines, 1, std::numeric_limits<qint32>::max())); }

} // namespace

void LineIndex::Kept::add(qint32 count, qint32 unlaidCount)
{
    if (lines.size() % kBlock == 0)
        blocks.push_back(0);
    lines.push_back(count);
    unlaid.push_back(unlaidCount);
    blocks.back() += count;
}

// Only the block cut into is summed again: a cut happens at every entry, as
// the last paragraph changes.
qint64 LineIndex::Kept::cut(size_t stays)
{
    lines.resize(stays);
    unlaid.resize(stays);
    blocks.resize((stays + kBlock - 1) / kBlock);
    const qint64 summed = qint64(stays % kBlock);
    if (summed != 0)
        blocks.back() = std::accumulate(lines.end() - summed, lines.end(), qint64(0));
    return summed;
}

void LineIndex::Kept::reblock()
{
    blocks.assign((lines.size() + kBlock - 1) / kBlock, 0);
    for (size_t i = 0; i < lines.size(); ++i)
        blocks[i / kBlock] += lines[i];
}

LineIndex::LineIndex(std::function<qint64(size_t)> unlaid, std::function<void(size_t, size_t)> forgotten)
    : m_unlaid(std::move(unlaid))
    , m_forgotten(std::move(forgotten))
{
}

void LineIndex::resize(size_t paragraphs)
{
    if (paragraphs < m_size) {
        // Tree entries before the cut only ever sum groups before it.
        const size_t groups = (paragraphs + kGroup - 1) / kGroup;
        std::erase_if(m_kept, [&](const Kept &k) { return k.group >= groups; });
        m_tree.resize(groups);
        m_unlaidTotal.resize(groups);
        m_total = groupsBefore(groups);
        m_size = paragraphs;
        // The group cut into loses its end: kept, its counts are cut; else
        // it counts again, unlaid, what stays of it.
        if (const size_t cut = paragraphs / kGroup; cut < groups) {
            const size_t stays = paragraphs - cut * kGroup;
            if (Kept *k = findKept(cut)) {
                qint64 lines = 0;
                for (size_t i = stays; i < k->lines.size(); ++i) {
                    lines += k->lines[i];
                    m_unlaidTotal[cut] -= k->unlaid[i];
                }
                addToGroup(cut, -lines);
                m_countsRead += qint64(k->lines.size() - stays) + k->cut(stays);
            } else {
                addToGroup(cut, -groupTotal(cut));
                m_unlaidTotal[cut] = 0;
                m_size = cut * kGroup;
            }
        }
    }
    while (m_size < paragraphs) {
        const size_t group = m_size / kGroup;
        if (group == m_tree.size()) {
            const size_t k = group + 1;
            m_tree.push_back(groupsBefore(group) - groupsBefore(k - lowestBit(k)));
            m_unlaidTotal.push_back(0);
        }
        Kept &last = keep(group);
        const size_t end = std::min(paragraphs, (group + 1) * kGroup);
        qint64 added = 0;
        for (; m_size < end; ++m_size) {
            const qint32 unlaid = clampedLines(m_unlaid(m_size));
            last.add(unlaid, unlaid);
            added += unlaid;
        }
        m_unlaidTotal[group] += added;
        addToGroup(group, added);
    }
}

void LineIndex::forgetAll()
{
    for (Kept &k : m_kept) {
        addToGroup(k.group, m_unlaidTotal[k.group] - groupTotal(k.group));
        k.lines = k.unlaid;
        k.reblock();
    }
}

qint64 LineIndex::lines(size_t paragraph) const
{
    const Kept *k = findKept(paragraph / kGroup);
    return k ? k->lines[paragraph % kGroup] : clampedLines(m_unlaid(paragraph));
}

void LineIndex::setLines(size_t paragraph, qint64 lines)
{
    const qint32 clamped = clampedLines(lines);
    const size_t group = paragraph / kGroup;
    if (!findKept(group) && clamped == clampedLines(m_unlaid(paragraph)))
        return;
    Kept &k = keep(group);
    qint32 &count = k.lines[paragraph % kGroup];
    const qint64 delta = qint64(clamped) - count;
    count = clamped;
    k.blocks[(paragraph % kGroup) / kBlock] += delta;
    addToGroup(group, delta);
}

qint64 LineIndex::linesBefore(size_t paragraph) const
{
    if (paragraph >= m_size)
        return m_total;
    const size_t group = paragraph / kGroup;
    qint64 sum = groupsBefore(group);
    if (paragraph % kGroup == 0)
        return sum;
    const Kept &k = keep(group);
    const size_t within = paragraph % kGroup;
    for (size_t b = 0; b < within / kBlock; ++b)
        sum += k.blocks[b];
    for (size_t i = within / kBlock * kBlock; i < within; ++i)
        sum += k.lines[i];
    m_countsRead += qint64(within / kBlock + within % kBlock);
    return sum;
}

std::pair<size_t, qint64> LineIndex::find(qint64 line) const
{
    if (m_size == 0)
        return {0, 0};
    line = std::clamp<qint64>(line, 0, m_total - 1);
    // Binary lifting over the groups: the most whose lines all lie before `line`.
    size_t groups = 0;
    size_t step = 1;
    while (step * 2 <= m_tree.size())
        step *= 2;
    qint64 remaining = line;
    for (; step > 0; step /= 2) {
        if (groups + step <= m_tree.size() && m_tree[groups + step - 1] <= remaining) {
            groups += step;
            remaining -= m_tree[groups - 1];
        }
    }
    const Kept &k = keep(std::min(groups, m_tree.size() - 1));
    size_t b = 0;
    while (b + 1 < k.blocks.size() && remaining >= k.blocks[b])
        remaining -= k.blocks[b++];
    size_t i = b * kBlock;
    while (i + 1 < k.lines.size() && remaining >= k.lines[i])
        remaining -= k.lines[i++];
    m_countsRead += qint64(b + i - b * kBlock);
    return {k.group * kGroup + i, remaining};
}

LineIndex::Kept *LineIndex::findKept(size_t group) const
{
    for (Kept &k : m_kept) {
        if (k.group == group)
            return &k;
    }
    return nullptr;
}

LineIndex::Kept &LineIndex::keep(size_t group) const
{
    if (Kept *k = findKept(group)) {
        k->used = ++m_clock;
        return *k;
    }
    const size_t last = m_size == 0 ? 0 : (m_size - 1) / kGroup;
    if (m_kept.size() > kKeptGroups) {
        // The group used longest ago counts as not laid out again; never the last one.
        auto oldest = m_kept.end();
        for (auto k = m_kept.begin(); k != m_kept.end(); ++k) {
            if (k->group != last && (oldest == m_kept.end() || k->used < oldest->used))
                oldest = k;
        }
        const size_t gone = oldest->group;
        addToGroup(gone, m_unlaidTotal[gone] - groupTotal(gone));
        m_kept.erase(oldest);
        m_forgotten(gone * kGroup, std::min(m_size, (gone + 1) * kGroup));
    }
    Kept made{group, {}, {}, {}, ++m_clock};
    for (size_t p = group * kGroup; p < std::min(m_size, (group + 1) * kGroup); ++p) {
        const qint32 unlaid = clampedLines(m_unlaid(p));
        made.add(unlaid, unlaid);
    }
    m_kept.push_back(std::move(made));
    return m_kept.back();
}

void LineIndex::addToGroup(size_t group, qint64 delta) const
{
    for (size_t k = group + 1; k <= m_tree.size(); k += lowestBit(k))
        m_tree[k - 1] += delta;
    m_total += delta;
}

qint64 LineIndex::groupsBefore(size_t group) const
{
    qint64 sum = 0;
    for (size_t k = std::min(group, m_tree.size()); k > 0; k -= lowestBit(k))
        sum += m_tree[k - 1];
    return sum;
}

qint64 LineIndex::groupTotal(size_t group) const { return groupsBefore(group + 1) - groupsBefore(group); }

} // namespace rich_text
