#pragma once

#include <QtGlobal>

#include <functional>
#include <utility>
#include <vector>

namespace rich_text {

// How many lines each paragraph takes on screen, as far as the view knows,
// and the line at which each one begins. A paragraph not laid out yet counts
// as its unlaid lines (the owner's unlaid(), a line per piece), as in Qt's
// plain-text view: the scroll bar becomes exact as the transcript is seen,
// and appending never lays out what is off screen.
//
// What the view learns is kept only near where it looks: counts are kept a
// group of kGroup paragraphs at a time, for the last group and the few used
// lately. A group that goes counts as not laid out again (the owner hears of
// it through forgotten()), so that the index takes a few groups' counts and
// two numbers a group, whatever the transcript's length: a peer sending CR
// LF makes a paragraph for every two bytes.
//
// Invariants:
// - m_size paragraphs; group g holds paragraphs [g * kGroup, (g + 1) * kGroup).
// - m_tree is a Fenwick tree over the groups' totals: with k = g + 1,
//   m_tree[g] sums the totals of groups k - (k & -k) to k - 1.
// - m_unlaid[g] is group g's total with nothing laid out.
// - m_kept holds the counts of a few groups, the last one always among them:
//   each count >= 1, unlaid[i] what that paragraph counts unlaid, and the
//   group's total their sum; blocks[b] sums the counts of its paragraphs
//   [b * kBlock, (b + 1) * kBlock). A group not kept totals m_unlaid[g].
class LineIndex {
public:
    static constexpr size_t kGroup = 65536;
    static constexpr size_t kKeptGroups = 4; // beside the last one
    static constexpr size_t kBlock = 256;    // a question reads at most a block's counts and the group's blocks

    LineIndex(std::function<qint64(size_t)> unlaid, std::function<void(size_t, size_t)> forgotten);

    size_t size() const { return m_size; }
    // Paragraphs beyond `paragraphs` go; new ones count as unlaid.
    void resize(size_t paragraphs);
    // Every count is unlaid again.
    void forgetAll();

    qint64 lines(size_t paragraph) const;
    void setLines(size_t paragraph, qint64 lines);
    qint64 linesBefore(size_t paragraph) const;
    qint64 total() const { return m_total; }
    // The paragraph that holds line `line` (clamped to the last), and the
    // number of that line within it.
    std::pair<size_t, qint64> find(qint64 line) const;
    // Counts and block sums read so far, to answer or to cut (for tests).
    qint64 countsRead() const { return m_countsRead; }

private:
    struct Kept {
        size_t group;
        std::vector<qint32> lines;
        std::vector<qint32> unlaid;
        std::vector<qint64> blocks;
        quint64 used;
        void add(qint32 lines, qint32 unlaid);
        qint64 cut(size_t stays); // the counts summed again
        void reblock();
    };
    Kept *findKept(size_t group) const;
    Kept &keep(size_t group) const; // its counts, made unlaid when not kept
    void addToGroup(size_t group, qint64 delta) const;
    qint64 groupsBefore(size_t group) const;
    qint64 groupTotal(size_t group) const;

    std::function<qint64(size_t)> m_unlaid;
    std::function<void(size_t, size_t)> m_forgotten;
    size_t m_size = 0;
    mutable qint64 m_total = 0;
    mutable std::vector<qint64> m_tree;
    std::vector<qint64> m_unlaidTotal;
    mutable std::vector<Kept> m_kept;
    mutable quint64 m_clock = 0;
    mutable qint64 m_countsRead = 0;
};

} // namespace rich_text
