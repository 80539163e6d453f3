#pragma once

// What the transcript's view holds and shows, for tests.

#include "rich_text/rich_text_box.h"

#include <QColor>
#include <QTextCharFormat>

#include <vector>

namespace rich_text {

struct RichTextBoxTestAccess {
    struct Held {
        size_t paragraph;
        qint64 piece;
        QString text;         // as laid out, with line breaks as Qt's line separator
    };

    // The blocks the view keeps laid out: those the last paint drew.
    static std::vector<Held> held(const RichTextBox& box)
    {
        std::vector<Held> out;
        for (const auto& [block, layout] : box.m_layouts)
            out.push_back(Held{block.paragraph, block.piece, layout->text()});
        return out;
    }

    // The colour a held paragraph's character is drawn in.
    static QColor colorShown(const RichTextBox& box, size_t paragraph, qint64 offset)
    {
        for (const auto& [block, layout] : box.m_layouts) {
            if (block.paragraph == paragraph && block.piece == 0) {
                const QTextCharFormat f = layout->formatAt(offset);
                return f.hasProperty(QTextFormat::ForegroundBrush) ? f.foreground().color()
                                                                    : box.palette().color(QPalette::Text);
            }
        }
        return QColor();
    }

    static size_t topParagraph(const RichTextBox& box) { return box.m_top.block.paragraph; }
    static qint64 charactersLaidOut(const RichTextBox& box) { return box.m_charactersLaidOut; }
};

// Paints the box now and returns what it keeps laid out.
inline std::vector<RichTextBoxTestAccess::Held> paintAndHeld(RichTextBox& box)
{
    box.viewport()->repaint();
    return RichTextBoxTestAccess::held(box);
}

}  // namespace rich_text
