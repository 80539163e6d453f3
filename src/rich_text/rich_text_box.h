#pragma once

#include "rich_text/block_layout.h"
#include "rich_text/line_index.h"
#include "rich_text/rope.h"
#include "rich_text/text_model.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QColor>

#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

namespace rich_text {

// A read-only rich-text control: the user can scroll, select and copy, the
// program changes the content through the members below. Colours are given
// and returned as 0xBBGGRR like the classic controls.
//
// The view's cost follows what is on screen, not the length of the content.
// Only the paragraphs on screen are laid out, and their layouts are dropped
// when they leave it; scrolling is by lines, and a paragraph not laid out yet
// counts as one line. A paragraph longer than kPiece characters is shown as
// pieces of about that size, each laid out on its own, so a huge one costs no
// more than the pieces on screen. A piece ends after a line break near its
// end where there is one (which changes nothing on screen), else after a
// space (the line before it ends early), else anywhere. Changes are shown once the current event handler
// has returned, in one update however many came before it; an update that
// adds paragraphs scrolls to the end.
//
// Invariants of the view's caches:
// - m_lines has one entry per paragraph of the model as of the last update;
//   for a paragraph of one piece it is that piece's line count once laid out.
// - m_pieceLines holds, for a paragraph of several pieces, each piece's line
//   count (0: not laid out yet, counted as one line); m_lines holds their sum.
// - m_layouts holds only blocks drawn by the last paint or needed by the
//   last scroll computation, all laid out for the current width and font.
// - m_top is a valid block and a line within it.
class RichTextBox : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr qint64 kPiece = 4096;
    static constexpr qint64 kPieceSnap = 512; // how far back a piece looks for a break

    explicit RichTextBox(QWidget *parent = nullptr);
    ~RichTextBox() override;

    Rope text() const { return m_model.text(); }
    void setText(const Rope &plain) { m_model.setText(plain); }
    Rope textRtf();
    void setTextRtf(const Rope &rtf) { m_model.setTextRtf(rtf); }

    qint32 selStart() const;
    void setSelStart(qint64 start) { m_model.setSelStart(start); }
    qint32 selLength() const;
    void setSelLength(qint64 length) { m_model.setSelLength(length); }
    void setSelColor(quint32 bgr);
    quint32 colorAt(qint64 pos); // 0xBBGGRR; default text is 0 (black)

    void setBackgroundColor(const QColor &color);

    const TextModel &model() const { return m_model; }
    bool updatePending() const { return m_updateQueued; }

    // The selection as the clipboard gets it: with LF line breaks.
    QString selectedText() const;
    void copy() const;
    void selectAll();

    // ------------------------------------------------------------------
    // For assistive technology (rich_text_box_access.cpp). Positions are in
    // the plain text, points and rectangles in viewport coordinates. Each
    // call brings the view up to date first and lays out at most the block it
    // asks about (or the blocks on screen); a layout made only for the answer
    // is let go again, so the view still holds only what it shows.
    static constexpr int kTextMargin = 4; // between the frame and the text

    struct LineSpan {
        qint64 start;
        qint64 end; // a paragraph's last line ends before its break
    };
    // The content as the view shows it (pending changes taken in).
    const Document &document();
    // The line, as the view wraps it, that holds `position`.
    LineSpan lineAt(qint64 position);
    // Where the character at `position` is drawn; empty when not on screen.
    QRect characterRect(qint64 position);
    // The position nearest to a point on the text; none off the viewport or
    // below the last line.
    std::optional<qint64> positionAt(const QPoint &point);
    // Scrolls as little as needed for `to`, then `from`, to be on screen.
    void showRange(qint64 from, qint64 to);
    // The moving end of the selection: where a keyboard user's caret is.
    qint64 caretPosition() const;
    // Selects as a user would, from `anchor` to the caret at `caret`.
    void select(qint64 anchor, qint64 caret);

    // What assistive technology was last told; kept on every update, events
    // built from it only while accessibility is active.
    struct Announced {
        qint64 length = 0;
        size_t paragraphs = 1;
        qint64 selStart = 0;
        qint64 selLength = 0;
        qint64 caret = 0;
    };

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void wheelEvent(QWheelEvent *event) override;
    void changeEvent(QEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    friend struct RichTextBoxTestAccess;

    // A block is a paragraph, or one piece of a paragraph of several.
    struct Block {
        size_t paragraph;
        qint64 piece;
        friend auto operator<=>(const Block &, const Block &) = default;
    };
    struct Position {
        Block block;
        qint64 line;
    };
    struct Hit {
        qint64 position; // in the plain text
        bool beyondEnd;  // below the last line
    };
    // A block on screen: its lines first..last are drawn with the block's
    // top at `origin` (viewport coordinates).
    struct ShownBlock {
        Block block;
        const BlockLayout *layout;
        QPointF origin;
        int first;
        int last;
        qint64 start; // plain-text position of the block's first character
    };

    void scheduleUpdate();
    void updateView();
    void forgetLayouts();
    void resetLines();

    qint64 pieceCount(size_t paragraph) const;
    qint64 pieceStart(size_t paragraph, qint64 piece) const;
    qint64 pieceEnd(size_t paragraph, qint64 piece) const;
    qint64 blockLines(const Block &b) const;
    bool nextBlock(Block &b) const;
    bool previousBlock(Block &b) const;
    Block lastBlock() const;
    const BlockLayout &layoutOf(const Block &b);
    void noteLineCount(const Block &b, qint64 lines);

    qreal wrapWidth() const;
    qreal pageHeight() const;
    QTextOption optionFor(size_t paragraph) const;

    // The blocks on screen from the top down, laid out, as a paint draws them.
    std::vector<ShownBlock> shownBlocks();

    qint64 lineNumberOf(const Position &p) const;
    Position positionOfLine(qint64 line) const;
    Position lastPageTop();
    void syncScrollBar();
    void scrollToEnd();
    // Scrolling by lines walks the real lines, laying out what it passes, so
    // that a paragraph not laid out yet is never skipped as one line.
    void scrollByLines(qint64 lines);
    // The top of the view stops at the last page; the caret, at the last line.
    enum class Bound { LastPage, LastLine };
    Position movedBy(Position from, qint64 lines, Bound bound = Bound::LastPage);
    qint64 linesPerPage();
    void onScrollBarAction(int action);

    Hit hitTest(const QPoint &point);
    void selectBetween(qint64 anchor, qint64 caret);
    // Keyboard selection: where the moving end of the selection goes.
    std::optional<qint64> keyboardTarget(QKeyEvent *event);
    qint64 nextPosition(qint64 pos) const;
    qint64 previousPosition(qint64 pos) const;
    struct Caret {
        Position at;       // its block and line
        qint64 blockStart; // plain-text position of the block's first character
    };
    Caret caretAt(qint64 pos);
    qint64 onAdjacentLine(qint64 pos, int direction);
    void showPosition(qint64 pos);
    void selectWordAt(qint64 position);
    Rope selectedRope() const;
    void publishSelection() const;

    // Assistive technology (rich_text_box_access.cpp).
    Block blockHolding(qint64 position) const;
    void announceUpdate(std::optional<size_t> changedFrom);

    TextModel m_model;
    LineIndex m_lines;
    std::unordered_map<size_t, std::vector<qint32>> m_pieceLines;
    std::map<Block, std::unique_ptr<BlockLayout>> m_layouts;
    Position m_top{{0, 0}, 0};
    bool m_updateQueued = false;
    bool m_settingScrollBar = false;
    qint64 m_anchor = -1; // the fixed end of a selection made here
    qint64 m_caret = -1;  // its moving end
    QBasicTimer m_dragScroll;
    int m_dragDirection = 0;
    QPoint m_lastDrag;
    qint64 m_charactersLaidOut = 0; // over the view's life, for tests
    Announced m_announced;
};

} // namespace rich_text
