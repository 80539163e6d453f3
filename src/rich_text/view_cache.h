#pragma once

#include "rich_text/block_layout.h"
#include "rich_text/layout_cache.h"
#include "rich_text/line_map.h"

#include <optional>
#include <vector>

namespace rich_text {

// One line of the view, with its block's layout held: it stays valid however
// many layouts the cache lays out or lets go meanwhile.
struct ViewLine {
    LinePosition at;            // its block, and its number within the block
    LayoutCache::Layout layout; // the block's
    qint64 blockStart;          // plain-text position of the block's first character
    qreal blockTop;             // where the block's top stands, in view coordinates

    const BlockLayout::Line &line() const { return layout->line(int(at.line)); }
    qreal top() const { return blockTop + line().top; }
    qreal bottom() const { return top() + line().height; }
    bool isLastOfBlock() const { return at.line + 1 == layout->lineCount(); }
};

// Steps over the view's lines one at a time, up or down from any line,
// laying out each block it enters through the layout cache. Lines stack: a
// block's top is the bottom of the block above it.
class LineWalk {
public:
    // Starts at `from` (its line clamped to the block's), whose top stands at `top`.
    LineWalk(const LineMap &map, LayoutCache &layouts, LinePosition from, qreal top);

    const ViewLine &current() const { return m_line; }
    bool down(); // false at the last line, which stays current
    bool up();   // false at the first line, which stays current

private:
    const LineMap &m_map;
    LayoutCache &m_layouts;
    ViewLine m_line;
};

// The lines on screen, walked once from the top of the view and kept until
// the top, the height or what they show changes: paint, hit-testing, the
// page's size and assistive technology read the same lines, as KateLayoutCache
// keeps its view cache and reads it through viewLine().
//
// Invariants:
// - m_top is a block of the map and a line within it (clamped when walked).
// - When m_valid, m_lines are the lines from m_top down, consecutive, the
//   first with its top at kTextMargin, each following line's top below the
//   one before, every one's top above m_height; the last reaches m_height or
//   is the document's last line (m_reachesEnd).
// - When m_valid, every held layout is the layout cache's for that block as
//   it is: the owner calls invalidate() when the content, the width or the
//   font changes.
class ViewCache {
public:
    static constexpr int kTextMargin = 4; // between the frame and the text

    ViewCache(const LineMap &map, LayoutCache &layouts);

    LinePosition top() const { return m_top; }
    void setTop(LinePosition top);
    void setHeight(qreal height); // the viewport's
    void invalidate();

    int lineCount() const { return int(lines().size()); }
    const ViewLine &viewLine(int i) const { return lines()[size_t(i)]; }
    const std::vector<ViewLine> &lines() const;
    bool reachesEnd() const;

    // The line on screen that holds plain-text position `pos`, if any.
    std::optional<int> viewLineOf(qint64 pos) const;
    // How many lines stand whole between the top and the bottom margin.
    qint64 wholeLines() const;

    struct Hit {
        ViewLine line;  // the line under y: the first above the top, the last below the end
        bool beyondEnd; // y is below the document's last line
    };
    // The line under view coordinate `y`; below the screen the walk goes on
    // over the lines there, which are not kept.
    Hit lineAtY(qreal y) const;

private:
    void walk() const;

    const LineMap &m_map;
    LayoutCache &m_layouts;
    LinePosition m_top{{0, 0}, 0};
    qreal m_height = 0;
    mutable bool m_valid = false;
    mutable bool m_reachesEnd = false;
    mutable std::vector<ViewLine> m_lines;
};

} // namespace rich_text
