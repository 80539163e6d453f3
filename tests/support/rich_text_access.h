#pragma once
// What the tests may see inside the rich-text control: the model's report on
// its last load, and what the view holds and shows. The classes befriend
// these two structs.

#include <QColor>
#include <QString>

#include <utility>
#include <vector>

namespace rich_text {

class RichTextBox;
class TextModel;

struct TextModelTestAccess {
    // Whether the last setTextRtf() parsed only what was appended, and how
    // many characters it read to recognise its own source.
    static bool lastLoadIncremental(const TextModel &m);
    static qint64 charsCompared(const TextModel &m);
};

struct RichTextBoxTestAccess {
    struct Held {
        size_t paragraph;
        qint64 piece;
        QString text; // as laid out, with line breaks as Qt's line separator
    };

    struct ShownLine {
        int top; // in the viewport
        int bottom;
        QString text;
    };

    // The blocks the view keeps laid out: those the last paint drew.
    static std::vector<Held> held(const RichTextBox &box);
    // The colour a held paragraph's character is drawn in.
    static QColor colorShown(const RichTextBox &box, size_t paragraph, qint64 offset);
    static size_t topParagraph(const RichTextBox &box);
    static qint64 charactersLaidOut(const RichTextBox &box);
    // The lines the view says it shows, where it shows them.
    static std::vector<ShownLine> shownLines(RichTextBox &box);
    // The lines of a held one-piece paragraph as the view wrapped it: start
    // and length of each, in the paragraph.
    static std::vector<std::pair<qint64, qint64>> heldLines(const RichTextBox &box, size_t paragraph);
};

// Paints the box now and returns what it keeps laid out.
std::vector<RichTextBoxTestAccess::Held> paintAndHeld(RichTextBox &box);

} // namespace rich_text
