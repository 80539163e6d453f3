#include "rich_text/layout_cache.h"

#include <algorithm>

namespace rich_text {

LayoutCache::Layout LayoutCache::get(const Block &block)
{
    const auto found = m_byBlock.find(block);
    if (found != m_byBlock.end()) {
        m_recent.splice(m_recent.begin(), m_recent, found->second);
        return found->second->layout;
    }
    Layout layout = m_make(block);
    trimTo(m_capacity - 1);
    m_recent.push_front(Entry{block, std::move(layout)});
    m_byBlock.emplace(block, m_recent.begin());
    return m_recent.front().layout;
}

LayoutCache::Layout LayoutCache::find(const Block &block) const
{
    const auto found = m_byBlock.find(block);
    return found == m_byBlock.end() ? nullptr : found->second->layout;
}

void LayoutCache::setCapacity(size_t blocks)
{
    m_capacity = std::max<size_t>(blocks, 1);
    trimTo(m_capacity);
}

void LayoutCache::dropFrom(size_t paragraph)
{
    for (auto it = m_byBlock.lower_bound(Block{paragraph, 0}); it != m_byBlock.end();) {
        m_recent.erase(it->second);
        it = m_byBlock.erase(it);
    }
}

void LayoutCache::clear()
{
    m_byBlock.clear();
    m_recent.clear();
}

void LayoutCache::trimTo(size_t blocks)
{
    while (m_recent.size() > blocks) {
        m_byBlock.erase(m_recent.back().block);
        m_recent.pop_back();
    }
}

} // namespace rich_text
