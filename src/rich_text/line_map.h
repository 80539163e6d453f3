#pragma once

#include "rich_text/document.h"
#include "rich_text/line_index.h"

#include <map>
#include <vector>

namespace rich_text {

// A block is a paragraph, or one piece of a paragraph of several.
struct Block {
    size_t paragraph;
    qint64 piece;
    friend auto operator<=>(const Block &, const Block &) = default;
};

// A line of the view: its block and its number within the block.
struct LinePosition {
    Block block;
    qint64 line;
};

// The view's lines without any widget: which blocks the document's
// paragraphs are shown as, how many lines each takes as far as the view
// knows, and line number <-> (block, line) <-> plain-text position.
//
// A paragraph longer than kPiece characters is shown as pieces of about that
// size, each laid out on its own, so a huge one costs no more than the pieces
// on screen. A piece ends after a line break near its end where there is one
// (which changes nothing on screen), else after a space (the line before it
// ends early), else at a grapheme boundary. Where a piece starts depends only
// on the text just before its nominal start, so any piece is found without
// reading the pieces before it; each is found once and kept.
//
// A block not laid out yet counts as one line; the owner reports real counts
// with setLines() as it lays blocks out.
//
// Being told of a change costs nothing: the paragraphs from the first one
// changed are counted again when the map is next read, once however many
// changes came (an entry appended and then coloured is one).
//
// Invariants:
// - m_doc is the document as it is: whoever changes it calls
//   paragraphsChanged() before anything else reads this map.
// - Every member below m_changedFrom describes m_doc up to paragraph
//   m_changedFrom (kNone: all of it); catchUp(), run first by every member
//   that reads them, brings them up to date. Past that:
// - m_lines has one entry per paragraph of m_doc; for a paragraph of one
//   piece it is that block's line count (1 until laid out), for one of
//   several the sum of its pieces' (each 1 until laid out). A paragraph
//   whose counts m_lines forgets loses its pieces' counts too.
// - m_pieces holds only paragraphs of several pieces, at most kMostPieced of
//   them: one more lets go of the one farthest from it, whose pieces then
//   count as not laid out again. Their `start` entries are each piece's
//   start in the paragraph (-1: not found yet), `lines` each piece's line
//   count (0: not laid out, counted as one); m_lines holds their sum.
class LineMap {
public:
    static constexpr qint64 kPiece = 4096;
    static constexpr qint64 kPieceSnap = 512; // how far back a piece looks for a break
    // Paragraphs whose pieces are known: those near the view, a few
    // megabytes whatever the transcript's size.
    static constexpr size_t kMostPieced = 8192;

    explicit LineMap(const Document &doc);
    LineMap(const LineMap &) = delete;
    LineMap &operator=(const LineMap &) = delete;

    // The document changed from paragraph `from` on.
    void paragraphsChanged(size_t from);
    // Every line count is unknown again (the width or the font changed).
    void forgetLineCounts();

    size_t paragraphCount() const;
    qint64 pieceCount(size_t paragraph) const;
    qint64 pieceStart(size_t paragraph, qint64 piece) const; // in the paragraph
    qint64 pieceEnd(size_t paragraph, qint64 piece) const;
    qint64 blockStart(const Block &b) const; // in the plain text
    // The block holding plain-text position `pos` (a break belongs to the
    // paragraph before it).
    Block blockAt(qint64 pos) const;

    qint64 blockLines(const Block &b) const;
    void setLines(const Block &b, qint64 lines);
    bool nextBlock(Block &b) const;
    bool previousBlock(Block &b) const;
    Block lastBlock() const;

    qint64 lineNumberOf(const LinePosition &p) const;
    LinePosition positionOfLine(qint64 line) const; // clamped to the lines there are
    qint64 totalLines() const;

private:
    struct Pieces {
        std::vector<qint64> start;
        std::vector<qint32> lines;
    };
    static constexpr size_t kNone = size_t(-1);
    void catchUp() const;
    Pieces &piecesOf(size_t paragraph) const;
    qint64 findPieceStart(size_t paragraph, qint64 piece) const;

    const Document &m_doc;
    mutable size_t m_changedFrom = kNone;
    mutable LineIndex m_lines;
    mutable std::map<size_t, Pieces> m_pieces; // found as asked for
};

} // namespace rich_text
