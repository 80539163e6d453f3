#pragma once

#include "rich_text/rope.h"

#include <QByteArray>

#include <algorithm>
#include <memory>

namespace rich_text {

class TextMemory;

// A stretch of text in a TextMemory's file, written there once as pages of
// kPageChars characters (the last one shorter), each one byte a character
// where all of it is Latin-1, else two (UTF-16). What stays in memory is
// where it lies, its length and which of its pages take two bytes; a page is
// read back, through the memory's pages kept, when someone reads it.
class FileStretch {
public:
    static constexpr qint64 kPageChars = 65536;
    static constexpr int kPages = 16;
    static constexpr qint64 kChars = kPageChars * kPages;

    // `text` (at most kChars characters) in `memory`'s file, which takes it
    // now (canTake()): one leaf standing for it.
    static Rope store(const std::shared_ptr<TextMemory> &memory, const Rope &text);

    FileStretch(std::shared_ptr<TextMemory> memory, qint64 offset, qint64 bytes, qint64 length, quint16 widePages);
    ~FileStretch(); // its space in the file goes back
    FileStretch(const FileStretch &) = delete;
    FileStretch &operator=(const FileStretch &) = delete;

    qint64 length() const { return m_length; }
    bool isLatin1() const { return m_widePages == 0; }
    char16_t unit(qint64 at) const;
    void copyUnits(qint64 from, qint64 count, char16_t *out) const;
    // Calls sink(ctx, chunk) over [from, from + count), a page at a time,
    // each held while the sink reads it; false when the sink asked to stop.
    bool visit(qint64 from, qint64 count, void *ctx, bool (*sink)(void *, QStringView)) const;

private:
    bool isWide(qint64 page) const { return (m_widePages >> page) & 1; }
    qint64 pageLength(qint64 page) const { return std::min(kPageChars, m_length - page * kPageChars); }
    QByteArray page(qint64 page) const;

    std::shared_ptr<TextMemory> m_memory; // outlives the stretch
    qint64 m_offset;
    qint64 m_bytes;
    qint64 m_length;
    quint16 m_widePages; // bit n: page n takes two bytes a character
};

} // namespace rich_text
