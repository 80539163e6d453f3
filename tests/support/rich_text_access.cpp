#include "rich_text_access.h"

#include "rich_text/rich_text_box.h"
#include "rich_text/text_model.h"

#include <QTextCharFormat>

namespace rich_text {

bool TextModelTestAccess::lastLoadIncremental(const TextModel &m) { return m.m_lastLoad.incremental; }

qint64 TextModelTestAccess::charsCompared(const TextModel &m) { return m.m_lastLoad.charsCompared; }

qint64 TextModelTestAccess::charsParsed(const TextModel &m) { return m.m_lastLoad.charsParsed; }

qint64 TextModelTestAccess::charsCounted(const TextModel &m) { return m.m_source.charactersCounted(); }

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

namespace {

// Calls `each` with the first and the last line on screen of every block shown.
template <typename Each> void forEachShownBlock(const RichTextBox &box, Each each)
{
    const std::vector<ViewLine> &lines = box.viewCache().lines();
    for (size_t i = 0; i < lines.size();) {
        size_t j = i;
        while (j + 1 < lines.size() && lines[j + 1].at.block == lines[i].at.block)
            ++j;
        each(lines[i], lines[j]);
        i = j + 1;
    }
}

} // namespace

std::vector<RichTextBoxTestAccess::Held> RichTextBoxTestAccess::held(const RichTextBox &box)
{
    std::vector<Held> out;
    forEachShownBlock(box, [&](const ViewLine &first, const ViewLine &) {
        out.push_back(Held{first.at.block.paragraph, first.at.block.piece, first.layout->text()});
    });
    return out;
}

QColor RichTextBoxTestAccess::colorShown(const RichTextBox &box, size_t paragraph, qint64 offset)
{
    QColor shown;
    forEachShownBlock(box, [&](const ViewLine &first, const ViewLine &) {
        if (first.at.block == Block{paragraph, 0}) {
            const QTextCharFormat f = first.layout->formatAt(offset);
            shown = f.hasProperty(QTextFormat::ForegroundBrush) ? f.foreground().color()
                                                                : box.palette().color(QPalette::Text);
        }
    });
    return shown;
}

std::vector<std::pair<qint64, qint64>> RichTextBoxTestAccess::paragraphLines(RichTextBox &box, size_t paragraph)
{
    std::vector<std::pair<qint64, qint64>> out;
    const LineMap &map = box.lineMap();
    for (qint64 piece = 0; piece < map.pieceCount(paragraph); ++piece) {
        const LayoutCache::Layout layout = box.blockLayout(Block{paragraph, piece});
        const qint64 start = map.pieceStart(paragraph, piece);
        for (int i = 0; i < layout->lineCount(); ++i)
            out.emplace_back(start + layout->line(i).start, layout->line(i).length);
    }
    return out;
}

qreal RichTextBoxTestAccess::wrapWidth(const RichTextBox &box) { return box.wrapWidth(); }

size_t RichTextBoxTestAccess::layoutsHeld(const RichTextBox &box) { return box.layouts().size(); }

size_t RichTextBoxTestAccess::layoutsBound(const RichTextBox &box) { return box.layouts().capacity(); }

size_t RichTextBoxTestAccess::topParagraph(const RichTextBox &box) { return box.viewCache().top().block.paragraph; }

qint64 RichTextBoxTestAccess::charactersLaidOut(const RichTextBox &box) { return box.charactersLaidOut(); }

std::vector<RichTextBoxTestAccess::ShownLine> RichTextBoxTestAccess::shownLines(const RichTextBox &box)
{
    std::vector<ShownLine> out;
    for (const ViewLine &line : box.viewCache().lines()) {
        const BlockLayout::Line &l = line.line();
        out.push_back(
            ShownLine{int(line.top()), int(line.top() + l.height), line.layout->text().mid(l.start, l.length)});
    }
    return out;
}

std::vector<std::pair<qint64, qint64>> RichTextBoxTestAccess::heldLines(const RichTextBox &box, size_t paragraph)
{
    std::vector<std::pair<qint64, qint64>> lines;
    const LayoutCache::Layout found = box.layouts().find(Block{paragraph, 0});
    if (!found)
        return lines;
    for (int i = 0; i < found->lineCount(); ++i)
        lines.emplace_back(found->line(i).start, found->line(i).length);
    return lines;
}

std::vector<RichTextBoxTestAccess::Held> paintAndHeld(RichTextBox &box)
{
    box.viewport()->repaint();
    return RichTextBoxTestAccess::held(box);
}

} // namespace rich_text
