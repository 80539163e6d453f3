#pragma once

#include "rich_text/rope.h"

#include <QMimeData>

#include <memory>

namespace rich_text {

class SlicedText;

// Text handed to the clipboard or the primary selection without building it.
// It holds a copy of the selected part of the content, which costs nothing
// as ropes are immutable and share their characters. The plain text, with
// LF line breaks, is made only when a program asks for it: a short text at
// once, a long one a slice at a time between the window's events, while the
// request waits in an event loop of its own, so that the window keeps
// answering however long the text. Every program that asks while it is
// being made or delivered gets the same one (UTF-8 for other programs, a
// QString for this program's own boxes), which is let go once none of them
// holds it any more: one copy of the text at most, also with several pastes
// at once.
//
// Invariants:
// - m_shared never changes; every request gives plainText() of its text,
//   as UTF-8 when bytes are asked for.
// - Two offers made from the same selection (the clipboard and the primary
//   selection) share m_shared, so a text is made once for both.
class ClipboardText : public QMimeData {
    Q_OBJECT
public:
    // The `length` characters of `content` from `start`.
    ClipboardText(const Rope &content, qint64 start, qint64 length);
    ~ClipboardText() override;
    // Another offer of the same text, made once for both.
    static ClipboardText *sharing(const ClipboardText &other);
    // Whether this offers the same characters of the same content.
    bool offers(const Rope &content, qint64 start, qint64 length) const;

    QStringList formats() const override;
    bool hasFormat(const QString &mimeType) const override;

    // CR LF and lone CR become LF, as the clipboard gets line breaks here.
    static QString plainText(const Rope &text);

    // The rope's characters read for one slice: a few milliseconds' work.
    static constexpr qint64 kSliceCharacters = qint64(1) << 18;

    // What making the text has cost so far, both forms together (for tests).
    struct Work {
        qint64 builds = 0;       // texts made, whole or in slices
        qint64 slices = 0;       // slices made between events
        qint64 largestSlice = 0; // most characters read in one of them
    };
    Work work() const;
    qint64 timesBuilt() const { return work().builds; }
    // Whether a text made for a request is still held, waiting for those
    // who hold it too to let it go.
    bool holdsText() const;
    // What was copied, as the control holds it (CR LF breaks).
    Rope copied() const;
    // The plain text as UTF-8, as a paste gets it: a long one made a slice
    // at a time while the window answers, and shared with every other
    // request meanwhile. This offer may be deleted while it waits.
    QByteArray utf8() const;

    // The same text for a transfer that hands it on as it is made, with no
    // wait of its own: made() grows a slice per pass of the event loop until
    // whole(). The text is held for as long as the stream lives, also when
    // this offer is gone.
    class Stream {
    public:
        explicit Stream(std::shared_ptr<SlicedText> text);
        ~Stream();
        Stream(const Stream &) = delete;
        Stream &operator=(const Stream &) = delete;
        QByteArrayView made() const;
        bool whole() const;

    private:
        const std::shared_ptr<SlicedText> m_text;
    };
    std::unique_ptr<Stream> utf8Stream() const;

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
    struct Shared;
    explicit ClipboardText(std::shared_ptr<Shared> shared);

    const std::shared_ptr<Shared> m_shared;
};

} // namespace rich_text
