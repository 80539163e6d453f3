#pragma once

#include "rich_text/block_layout.h"
#include "rich_text/layout_cache.h"
#include "rich_text/line_map.h"
#include "rich_text/rope.h"
#include "rich_text/selection_transfers.h"
#include "rich_text/text_model.h"
#include "rich_text/view_cache.h"

#include <QAbstractScrollArea>
#include <QAccessible>
#include <QBasicTimer>
#include <QColor>

#include <memory>
#include <optional>

namespace rich_text {

class AccessibleAnnouncement;

// A read-only rich-text control: the user can scroll, select and copy, the
// program changes the content through the members below. Colours are given
// and returned as 0xBBGGRR like the classic controls.
//
// The view's cost follows what is on screen, not the length of the content.
// Only the blocks (paragraphs, or pieces of long ones) on screen and those a
// scroll computation passes are laid out, in a cache of a few pages; scrolling
// is by lines, and a block not laid out yet counts as one line (m_map, told
// of every change of the model as it happens). Changes are shown once the
// current event handler has returned, in one update however many came
// before it; an update that adds paragraphs scrolls to the end.
//
// Its jobs, a file each: the control's members, the updates from the model,
// layout, scrolling and paint (rich_text_box.cpp, over the lines on screen
// in m_view); keys and the mouse (rich_text_box_input.cpp); the clipboard
// (rich_text_box_clipboard.cpp); the context menu (rich_text_box_menu.cpp);
// what assistive technology asks (rich_text_box_access.cpp).
//
// Invariants of the view's state:
// - m_map follows the model's document at all times (the model's change
//   handler tells it).
// - m_pendingUpdate is set from a change of the model until the queued
//   update runs, and holds the first paragraph changed meanwhile.
// - m_layouts holds at most the blocks of two pages and a few more (those of
//   the last paint and of the last scroll computation), whether the view
//   paints or not, all laid out for the current content, width and font.
// - m_view's top is a valid block and a line within it, and its lines are
//   those on screen for the current content, width, font and height (it is
//   invalidated whenever one of them changes).
class RichTextBox : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr qint64 kPiece = LineMap::kPiece;
    static constexpr int kTextMargin = ViewCache::kTextMargin;

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
    // Writes out to the memory's file what is due; false while it has no room.
    bool trySpill() { return m_model.trySpill(); }
    bool updatePending() const { return m_pendingUpdate.has_value(); }

    // Clipboard (rich_text_box_clipboard.cpp). The selection as the
    // clipboard gets it: with LF line breaks.
    QString selectedText() const;
    void copy() const;
    void selectAll();

    // ------------------------------------------------------------------
    // The view's inside, read-only: what it reads itself to paint, scroll and
    // answer, open to assistive technology, tests and benchmarks.
    const LineMap &lineMap() const { return m_map; }
    const LayoutCache &layouts() const { return m_layouts; }
    // The lines on screen as the last update left them (a paint brings the
    // view up to date first).
    const ViewCache &viewCache() const { return m_view; }
    // A block's layout: the one held, or one made for the question alone and
    // not kept, so that the cache stays with what the view shows.
    LayoutCache::Layout blockLayout(const Block &block);
    qreal wrapWidth() const;
    qint64 charactersLaidOut() const { return m_charactersLaidOut; } // over the view's life

    // ------------------------------------------------------------------
    // For assistive technology (rich_text_box_access.cpp). Positions are in
    // the plain text, points and rectangles in viewport coordinates. Each
    // call brings the view up to date first and lays out at most the block it
    // asks about (or the blocks on screen).
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

    // Tells assistive technology `text` (a message that arrived) with the
    // next update, after what the update changed: while the window is active,
    // as a notification a screen reader speaks wherever the focus is, a new
    // one for each update. Several before one update are told together, in
    // order.
    void announce(const QString &text);
    // The announcements shown lately, oldest first; a new one, which lets go
    // of the oldest beyond kAnnouncementsKept (a screen reader may still be
    // reading it).
    static constexpr size_t kAnnouncementsKept = 4;
    const std::vector<QAccessible::Id> &announcements() const { return m_announcements; }
    AccessibleAnnouncement &newAnnouncement(const QString &text);

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
    using Position = LinePosition;
    struct Hit {
        qint64 position; // in the plain text
        bool beyondEnd;  // below the last line
    };

    // Updates from the model.
    // An update queued for when the current event handler has returned.
    struct PendingUpdate {
        std::optional<size_t> changedFrom; // the first paragraph changed since the last update
        bool selectedByProgram = false;    // the program set the selection since
    };
    void onModelChanged(const TextModel::Change &change);
    void queueUpdate();
    void updateView();
    void onParagraphsChanged(size_t from);
    void relayOut();

    // Layout.
    LayoutCache::Layout layoutOf(const Block &b) { return m_layouts.get(b); }
    std::unique_ptr<BlockLayout> makeLayout(const Block &b);
    void boundLayouts();
    qreal pageHeight() const;
    QTextOption optionFor(size_t paragraph) const;

    // Scrolling: the top of the view moves by lines over m_view's walk.
    void setTop(Position top);
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
    // Scrolls just enough for the line holding `pos` to be on screen.
    void showPosition(qint64 pos);
    Hit hitTest(const QPoint &point);

    // Keys and the mouse (rich_text_box_input.cpp).
    void selectBetween(qint64 anchor, qint64 caret);
    // The selection is the one the user made here, from m_anchor to m_caret,
    // not one the program set since.
    bool selectionMadeHere() const;

public:
    // What a key does to the caret (rich_text_box_input.cpp).
    struct CaretMove {
        enum Kind {
            NextChar,
            PreviousChar,
            NextLine,
            PreviousLine,
            StartOfLine,
            EndOfLine,
            StartOfText,
            EndOfText,
            NextPage,
            PreviousPage,
            NextWord,
            PreviousWord,
        } kind;
        bool selecting; // with Shift: the selection's free end moves
    };

private:
    std::optional<CaretMove> caretMoveFor(QKeyEvent *event);
    qint64 caretTarget(qint64 caret, CaretMove::Kind kind);
    void startFromCaret();
    qint64 nextPosition(qint64 pos) const;
    qint64 previousPosition(qint64 pos) const;
    struct Caret {
        Position at;       // its block and line
        qint64 blockStart; // plain-text position of the block's first character
        LayoutCache::Layout layout;
    };
    Caret caretAt(qint64 pos);
    qint64 onLineAway(qint64 pos, qint64 lines);
    void selectWordAt(qint64 position);
    struct WordWindow {
        qint64 paragraphStart;
        qint64 paragraphLength;
        qint64 from;   // in the paragraph, where `text` starts
        qint64 offset; // of the position in `text`
        QString text;
    };
    WordWindow wordWindowAround(qint64 position) const;
    qint64 wordAway(qint64 position, bool forward) const;

    // Clipboard (rich_text_box_clipboard.cpp).
    Rope selectedRope() const;
    void publishSelection() const;

    // Assistive technology (rich_text_box_access.cpp).
    void announceUpdate(std::optional<size_t> changedFrom);

    TextModel m_model;
    LineMap m_map{m_model.document()};
    size_t m_paragraphsShown = 1; // by the last update
    LayoutCache m_layouts{[this](const Block &b) { return makeLayout(b); }};
    ViewCache m_view{m_map, m_layouts};
    std::optional<PendingUpdate> m_pendingUpdate;
    bool m_settingScrollBar = false;
    bool m_selectingHere = false; // the selection being set is the user's
    qint64 m_anchor = -1;         // the fixed end of a selection made here
    // Its moving end: the keyboard caret, once the user placed it (keys, the
    // mouse, assistive technology); -1: at the end of the selection.
    qint64 m_caret = -1;
    QBasicTimer m_dragScroll;
    int m_dragDirection = 0;
    QPoint m_lastDrag;
    qint64 m_charactersLaidOut = 0; // over the view's life
    Announced m_announced;
    // To announce with the next update, each no longer than an announcement
    // keeps of it; cut when they would say more than it keeps.
    QStringList m_arrivals;
    qsizetype m_arrivedLength = 0;
    std::vector<QAccessible::Id> m_announcements;
    // Where the display is X11, long copies pasted by other programs go out
    // through this, a step at a time.
    const std::unique_ptr<SelectionTransfers> m_selectionTransfers = SelectionTransfers::forThisDisplay();
};

} // namespace rich_text
