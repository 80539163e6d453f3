#include "rich_text_access.h"

#include "rich_text/rich_text_box.h"
#include "rich_text/text_model.h"

#include <QTextCharFormat>

namespace rich_text {

bool TextModelTestAccess::lastLoadIncremental(const TextModel &m) { return m.m_lastLoad.incremental; }

qint64 TextModelTestAccess::charsCompared(const TextModel &m) { return m.m_lastLoad.charsCompared; }

std::vector<RichTextBoxTestAccess::Held> RichTextBoxTestAccess::held(const RichTextBox &box)
{
    std::vector<Held> out;
    for (const auto &[block, layout] : box.m_layouts)
        out.push_back(Held{block.paragraph, block.piece, layout->text()});
    return out;
}

QColor RichTextBoxTestAccess::colorShown(const RichTextBox &box, size_t paragraph, qint64 offset)
{
    for (const auto &[block, layout] : box.m_layouts) {
        if (block.paragraph == paragraph && block.piece == 0) {
            const QTextCharFormat f = layout->formatAt(offset);
            return f.hasProperty(QTextFormat::ForegroundBrush) ? f.foreground().color()
                                                               : box.palette().color(QPalette::Text);
        }
    }
    return QColor();
}

size_t RichTextBoxTestAccess::topParagraph(const RichTextBox &box) { return box.m_top.block.paragraph; }

qint64 RichTextBoxTestAccess::charactersLaidOut(const RichTextBox &box) { return box.m_charactersLaidOut; }

std::vector<RichTextBoxTestAccess::ShownLine> RichTextBoxTestAccess::shownLines(RichTextBox &box)
{
    std::vector<ShownLine> out;
    for (const RichTextBox::ShownBlock &s : box.shownBlocks()) {
        const QString text = s.layout->text();
        for (int i = s.first; i <= s.last; ++i) {
            const BlockLayout::Line &line = s.layout->line(i);
            const qreal top = s.origin.y() + line.top;
            out.push_back(ShownLine{int(top), int(top + line.height), text.mid(line.start, line.length)});
        }
    }
    return out;
}

std::vector<std::pair<qint64, qint64>> RichTextBoxTestAccess::heldLines(const RichTextBox &box, size_t paragraph)
{
    std::vector<std::pair<qint64, qint64>> lines;
    const auto found = box.m_layouts.find(RichTextBox::Block{paragraph, 0});
    if (found == box.m_layouts.end())
        return lines;
    for (int i = 0; i < found->second->lineCount(); ++i)
        lines.emplace_back(found->second->line(i).start, found->second->line(i).length);
    return lines;
}

std::vector<RichTextBoxTestAccess::Held> paintAndHeld(RichTextBox &box)
{
    box.viewport()->repaint();
    return RichTextBoxTestAccess::held(box);
}

} // namespace rich_text
