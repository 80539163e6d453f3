#pragma once
// What the tests may see inside the rich-text control: the model's report on
// its last load (TextModel befriends its struct), and what the view holds and
// shows, read through the view's own read-only look at its line map, layout
// cache and lines on screen.

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
    // Characters of the appended tail that the last incremental load parsed
    // one by one.
    static qint64 charsParsed(const TextModel &m);
    // Whether the paragraphs' part of the source handed out now has been
    // written as characters.
    static bool sourceWritten(const TextModel &m);
    // Characters of paragraph text that the source has read, over the
    // model's life, to learn how long it writes them.
    static qint64 charsCounted(const TextModel &m);
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

    // The blocks on screen, as a paint draws them.
    static std::vector<Held> held(const RichTextBox &box);
    // The colour a shown paragraph's character is drawn in.
    static QColor colorShown(const RichTextBox &box, size_t paragraph, qint64 offset);
    // How many blocks the view keeps laid out, and how many it may.
    static size_t layoutsHeld(const RichTextBox &box);
    static size_t layoutsBound(const RichTextBox &box);
    static size_t topParagraph(const RichTextBox &box);
    static qint64 charactersLaidOut(const RichTextBox &box);
    // A paragraph's lines as the view lays them out, piece by piece: where
    // each starts in the paragraph and its length; and the width it wraps at.
    static std::vector<std::pair<qint64, qint64>> paragraphLines(RichTextBox &box, size_t paragraph);
    static qreal wrapWidth(const RichTextBox &box);
    // The lines the view says it shows, where it shows them.
    static std::vector<ShownLine> shownLines(const RichTextBox &box);
    // The lines of a held one-piece paragraph as the view wrapped it: start
    // and length of each, in the paragraph.
    static std::vector<std::pair<qint64, qint64>> heldLines(const RichTextBox &box, size_t paragraph);
};

// Paints the box now and returns the blocks it shows.
std::vector<RichTextBoxTestAccess::Held> paintAndHeld(RichTextBox &box);

} // namespace rich_text
