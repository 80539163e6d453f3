#include "rich_text/view_cache.h"

#include <algorithm>

namespace rich_text {

LineWalk::LineWalk(const LineMap &map, LayoutCache &layouts, LinePosition from, qreal top)
    : m_map(map)
    , m_layouts(layouts)
{
    LayoutCache::Layout layout = m_layouts.get(from.block);
    from.line = std::min<qint64>(from.line, layout->lineCount() - 1);
    const qreal blockTop = top - layout->line(int(from.line)).top;
    m_line = ViewLine{from, std::move(layout), m_map.blockStart(from.block), blockTop};
}

bool LineWalk::down()
{
    if (!m_line.isLastOfBlock()) {
        ++m_line.at.line;
        return true;
    }
    Block next = m_line.at.block;
    if (!m_map.nextBlock(next))
        return false;
    const qreal blockTop = m_line.blockTop + m_line.layout->height();
    m_line = ViewLine{{next, 0}, m_layouts.get(next), m_map.blockStart(next), blockTop};
    return true;
}

bool LineWalk::up()
{
    if (m_line.at.line > 0) {
        --m_line.at.line;
        return true;
    }
    Block previous = m_line.at.block;
    if (!m_map.previousBlock(previous))
        return false;
    LayoutCache::Layout layout = m_layouts.get(previous);
    const qreal blockTop = m_line.blockTop - layout->height();
    const qint64 last = layout->lineCount() - 1;
    m_line = ViewLine{{previous, last}, std::move(layout), m_map.blockStart(previous), blockTop};
    return true;
}

ViewCache::ViewCache(const LineMap &map, LayoutCache &layouts)
    : m_map(map)
    , m_layouts(layouts)
{
}

void ViewCache::setTop(LinePosition top)
{
    if (top.block == m_top.block && top.line == m_top.line)
        return;
    m_top = top;
    invalidate();
}

void ViewCache::setHeight(qreal height)
{
    if (height == m_height)
        return;
    m_height = height;
    invalidate();
}

void ViewCache::invalidate()
{
    m_valid = false;
    m_lines.clear(); // the layouts held go back to the cache's keeping alone
}

// The one walk over the screen: from the top line down to the bottom.
void ViewCache::walk() const
{
    m_lines.clear();
    LineWalk walk(m_map, m_layouts, m_top, kTextMargin);
    for (;;) {
        m_lines.push_back(walk.current());
        if (!walk.down()) {
            m_reachesEnd = true;
            break;
        }
        if (walk.current().top() >= m_height) {
            m_reachesEnd = false;
            break;
        }
    }
    m_valid = true;
}

const std::vector<ViewLine> &ViewCache::lines() const
{
    if (!m_valid)
        walk();
    return m_lines;
}

bool ViewCache::reachesEnd() const
{
    lines();
    return m_reachesEnd;
}

std::optional<int> ViewCache::viewLineOf(qint64 pos) const
{
    const Block block = m_map.blockAt(pos);
    for (int i = 0; i < lineCount(); ++i) {
        const ViewLine &line = viewLine(i);
        if (line.at.block != block)
            continue;
        const qint64 offset = std::min(pos - line.blockStart, line.layout->length());
        if (line.layout->lineOf(offset) == line.at.line)
            return i;
    }
    return std::nullopt;
}

qint64 ViewCache::wholeLines() const
{
    const qreal bottom = m_height - kTextMargin;
    qint64 whole = 0;
    for (const ViewLine &line : lines()) {
        if (line.bottom() > bottom)
            break;
        ++whole;
    }
    return whole;
}

ViewCache::Hit ViewCache::lineAtY(qreal y) const
{
    const std::vector<ViewLine> &shown = lines();
    const auto below
        = std::find_if(shown.begin(), shown.end(), [y](const ViewLine &line) { return y < line.bottom(); });
    if (below != shown.end())
        return Hit{*below, false};
    if (m_reachesEnd)
        return Hit{shown.back(), true};
    LineWalk walk(m_map, m_layouts, shown.back().at, shown.back().top());
    while (walk.current().bottom() <= y) {
        if (!walk.down())
            return Hit{walk.current(), true};
    }
    return Hit{walk.current(), false};
}

} // namespace rich_text
