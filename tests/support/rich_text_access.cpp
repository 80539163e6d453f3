#include "rich_text_access.h"

#include "rich_text/rich_text_box.h"
#include "rich_text/text_model.h"

#include <QTextCharFormat>

namespace rich_text {

bool TextModelTestAccess::lastLoadIncremental(const TextModel &m) { return m.m_lastLoad.incremental; }

qint64 TextModelTestAccess::charsCompared(const TextModel &m) { return m.m_lastLoad.charsCompared; }

qint64 TextModelTestAccess::charsParsed(const TextModel &m) { return m.m_lastLoad.charsParsed; }

bool TextModelTestAccess::sourceWritten(const TextModel &m)
{
    bool written = false;
    m.textRtf().forEachPiece(
        0, [](QStringView) { return true; },
        [&written](const GeneratedText &body) {
            written = written || body.isMade();
            return true; // looked at, not read
        });
    return written;
}

std::vector<RichTextBoxTestAccess::Held> RichTextBoxTestAccess::held(RichTextBox &box)
{
    std::vector<Held> out;
    for (const RichTextBox::ShownBlock &s : box.shownBlocks())
        out.push_back(Held{s.block.paragraph, s.block.piece, s.layout->text()});
    return out;
}

QColor RichTextBoxTestAccess::colorShown(RichTextBox &box, size_t paragraph, qint64 offset)
{
    for (const RichTextBox::ShownBlock &s : box.shownBlocks()) {
        if (s.block.paragraph == paragraph && s.block.piece == 0) {
            const QTextCharFormat f = s.layout->formatAt(offset);
            return f.hasProperty(QTextFormat::ForegroundBrush) ? f.foreground().color()
                                                               : box.palette().color(QPalette::Text);
        }
    }
    return QColor();
}

std::vector<std::pair<qint64, qint64>> RichTextBoxTestAccess::paragraphLines(RichTextBox &box, size_t paragraph)
{
    std::vector<std::pair<qint64, qint64>> out;
    for (qint64 piece = 0; piece < box.m_map.pieceCount(paragraph); ++piece) {
        const BlockLayout &layout = box.layoutOf(RichTextBox::Block{paragraph, piece});
        const qint64 start = box.m_map.pieceStart(paragraph, piece);
        for (int i = 0; i < layout.lineCount(); ++i)
            out.emplace_back(start + layout.line(i).start, layout.line(i).length);
    }
    return out;
}

qreal RichTextBoxTestAccess::wrapWidth(const RichTextBox &box) { return box.wrapWidth(); }

size_t RichTextBoxTestAccess::layoutsHeld(const RichTextBox &box) { return box.m_layouts.size(); }

size_t RichTextBoxTestAccess::layoutsBound(const RichTextBox &box) { return box.m_layouts.capacity(); }

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
    const LayoutCache::Layout *found = box.m_layouts.find(Block{paragraph, 0});
    if (!found)
        return lines;
    for (int i = 0; i < (*found)->lineCount(); ++i)
        lines.emplace_back((*found)->line(i).start, (*found)->line(i).length);
    return lines;
}

std::vector<RichTextBoxTestAccess::Held> paintAndHeld(RichTextBox &box)
{
    box.viewport()->repaint();
    return RichTextBoxTestAccess::held(box);
}

} // namespace rich_text
