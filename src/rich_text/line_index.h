#pragma once

#include "rich_text/paged_array.h"

#include <QtGlobal>

#include <memory>
#include <utility>

namespace rich_text {

// How many lines each paragraph takes on screen, as far as the view knows,
// and the line at which each one begins. A paragraph not laid out yet counts
// as one line, as in Qt's plain-text view: the scroll bar becomes exact as the
// transcript is seen, and appending never lays out what is off screen.
//
// Invariants:
// - m_lines and m_tree have one entry per paragraph; every m_lines entry >= 1.
// - m_tree is a Fenwick tree over m_lines: with k = i + 1, m_tree[i] is the
//   sum of m_lines over paragraphs k - (k & -k) to k - 1.
// Both tables keep their pages in the transcript's memory, which sends those
// not used lately to its file.
class LineIndex {
public:
    void setMemory(std::shared_ptr<TextMemory> memory)
    {
        m_lines.setMemory(memory);
        m_tree.setMemory(std::move(memory));
    }
    size_t size() const { return m_lines.size(); }
    // Paragraphs beyond `paragraphs` go; new ones count one line each.
    void resize(size_t paragraphs);
    void clear()
    {
        m_lines.clear();
        m_tree.clear();
    }

    qint64 lines(size_t paragraph) const { return m_lines[paragraph]; }
    void setLines(size_t paragraph, qint64 lines);
    qint64 linesBefore(size_t paragraph) const;
    qint64 total() const { return linesBefore(m_lines.size()); }
    // The paragraph that holds line `line` (clamped to the last), and the
    // number of that line within it.
    std::pair<size_t, qint64> find(qint64 line) const;

private:
    PagedArray<qint32> m_lines;
    PagedArray<qint64> m_tree;
};

} // namespace rich_text
