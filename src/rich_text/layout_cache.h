#pragma once

#include "rich_text/block_layout.h"
#include "rich_text/line_map.h"

#include <functional>
#include <list>
#include <map>
#include <memory>

namespace rich_text {

// The view's laid-out blocks, at most capacity() of them whether the view
// paints or not: asking for a block lays it out when it is not held, and the
// block asked for least recently goes when one more would exceed the bound.
// A caller that keeps the shared pointer keeps that layout alive after it
// has gone from the cache, until it lets go.
//
// Invariants:
// - m_byBlock and m_recent hold the same blocks; m_recent runs from the most
//   recently asked for to the least, and m_byBlock[b] points at b's entry.
// - size() <= capacity() >= 1.
// - Every layout held was made by m_make for the content and geometry as
//   they are: the owner calls dropFrom() or clear() when they change.
class LayoutCache {
public:
    using Layout = std::shared_ptr<const BlockLayout>;
    using Make = std::function<std::unique_ptr<BlockLayout>(const Block &)>;

    explicit LayoutCache(Make make)
        : m_make(std::move(make))
    {
    }

    // Layouts are handed out as shared pointers, never as references into
    // the cache: one kept by a caller stays valid whatever the cache lets go.
    Layout get(const Block &block);
    // The block's layout when it is held, else null; lays out nothing and
    // leaves the order of use as it is.
    Layout find(const Block &block) const;
    void setCapacity(size_t blocks);
    size_t capacity() const { return m_capacity; }
    size_t size() const { return m_recent.size(); }

    void dropFrom(size_t paragraph); // paragraphs from this one on changed
    void clear();

private:
    struct Entry {
        Block block;
        Layout layout;
    };
    void trimTo(size_t blocks);

    Make m_make;
    size_t m_capacity = 1;
    std::list<Entry> m_recent;
    std::map<Block, std::list<Entry>::iterator> m_byBlock;
};

} // namespace rich_text
