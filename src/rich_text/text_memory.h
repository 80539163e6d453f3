#pragma once

#include "rich_text/write_behind.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace rich_text {

// How much of a transcript stays in memory, and the temporary file where the
// rest goes: the text appended lately, and pages (of text read back, of the
// per-paragraph tables) in a list from the most recently used to the least.
// Whatever is beyond the budget goes to the file (SpillFile, written behind
// by WriteBehind), whose space is handed out here; a page that could not be
// written stays in memory, and canSpill() then says so until a later write
// goes through: the disk had no room, or is still writing what came before
// (isBusy()).
//
// Shared by everything that keeps pages in it (the document, its text, the
// line map), each of which holds it for as long as it lives.
//
// Invariants:
// - m_first..m_last is the list of pages in memory that may leave it, most
//   recently used first; m_listedBytes is the sum of their listedBytes.
// - Only trim() asks pages to leave memory, and never the most recent one.
// - A page moved to the front fewer than m_nearFront moves ago is among the
//   first m_nearFront of the list, far from its end (m_nearFront is a
//   quarter of the pages the budget holds, at most kNearFront): touching it
//   again leaves it where it is, which makes a touch of a page in constant
//   use cost two comparisons.
// - The file is made on the first store(); m_end is where the next store goes.
// - m_pagesHeld pages are stored and not released; store() refuses one
//   more beyond the index budget, and m_full says that it did.
class TextMemory {
public:
    struct Budget {
        qint64 recentText;  // bytes of text appended and not yet written to the file
        qint64 loadedPages; // bytes of pages kept in memory
        // Bytes of memory for knowing where each page in the file lies; once
        // that is spent the file takes no more (isFull()). By default half
        // the resident budget: at 1 GiB, some 1,000 GiB of text, hours of
        // the fastest flood.
        qint64 fileIndex = qint64(1) << 29;
    };
    // What memory keeps for a page in the file (where it lies, its length,
    // its share of the rope's nodes): about 20 bytes measured, counted as 32.
    static constexpr qint64 kIndexBytesPerPage = 32;
    // All the resident memory the window may take: 1 GiB, or a quarter of
    // the machine's memory where that is less.
    static qint64 residentBudget();
    // The transcript's share of it.
    static Budget defaultBudget();
    static std::shared_ptr<TextMemory> make(Budget budget = defaultBudget(), const QString &directory = QString());

    // A page that may leave memory for the file and come back.
    class Resident {
    public:
        Resident() = default;
        Resident(const Resident &) = delete;
        Resident &operator=(const Resident &) = delete;
        // Bytes it holds in memory now.
        virtual qint64 residentBytes() const = 0;
        // Writes what the file lacks and frees the memory; false when it
        // could not be written, and then it keeps it. Called off the list;
        // on true the page may have destroyed itself.
        virtual bool leaveMemory() = 0;

    protected:
        ~Resident();

    private:
        friend class TextMemory;
        TextMemory *m_memory = nullptr; // listed in it
        Resident *m_previous = nullptr;
        Resident *m_next = nullptr;
        qint64 m_listedBytes = 0;
        quint64 m_stamp = 0; // m_clock when last moved to the front
    };

    // Counts for tests and benchmarks.
    struct Counters {
        qint64 pagesStored = 0;
        qint64 pagesLoaded = 0;
        qint64 bytesStored = 0;
        qint64 failedWrites = 0;
        qint64 busyWrites = 0; // the disk behind: the page waited in memory
        qint64 pagesReleased = 0;
    };

    // `directory` empty: SpillFile::defaultDirectory() when the file is made.
    TextMemory(Budget budget, const QString &directory);
    ~TextMemory();
    TextMemory(const TextMemory &) = delete;
    TextMemory &operator=(const TextMemory &) = delete;

    const Budget &budget() const { return m_budget; }
    void setBudget(const Budget &budget);
    static constexpr quint64 kNearFront = 16;

    // The file. store() returns where the bytes went, or -1 when they could
    // not be written; rewrite() writes again in place, at most the size stored.
    qint64 store(const char *data, qint64 size);
    bool rewrite(qint64 offset, const char *data, qint64 size);
    QByteArray load(qint64 offset, qint64 size);
    void release(qint64 offset, qint64 size);

    // Pages in memory: touch() makes one the most recent (listing it when it
    // is not) and, while the file takes what it is given, sends the least
    // recent ones out while over the budget; forget() takes one off the list.
    void touch(Resident &page);
    void forget(Resident &page);
    // Sends pages out until the budget holds; false when one could not leave.
    bool trim();
    qint64 listedBytes() const { return m_listedBytes; }

    // Whether the last write to the file went through. A failed write makes
    // it false; a later one that succeeds makes it true again.
    bool canSpill() const { return m_canSpill; }
    // Whether the file may take `bytes` more now. When not, the memory
    // counts as busy: a stretch of pages is best stored whole or not at all,
    // as a part of it taken would be written only to be let go.
    bool canTake(qint64 bytes);
    // The last write found the disk behind by all that may wait for it,
    // rather than without room: it is worth trying again in a moment.
    bool isBusy() const { return m_busy; }
    // Whether the file holds all the pages the budget lets memory know of:
    // nothing more leaves memory.
    bool isFull() const { return m_full; }
    const Counters &counters() const { return m_counters; }
    // Tests: the file's writer waits, as on a disk that stalls.
    void holdWrites(bool held);

private:
    void unlink(Resident &page);
    void pushFront(Resident &page);
    void pushBack(Resident &page);
    bool noteWrite(WriteBehind::Answer answer);
    qint64 writeBehindLimit() const;

    Budget m_budget;
    QString m_directory;
    std::unique_ptr<WriteBehind> m_file;
    qint64 m_end = 0;
    Resident *m_first = nullptr;
    Resident *m_last = nullptr;
    qint64 m_listedBytes = 0;
    bool m_trimming = false;
    quint64 m_clock = 0; // moves to the front so far
    quint64 m_nearFront = 0;
    bool m_canSpill = true;
    bool m_busy = false;
    bool m_holdWrites = false;
    qint64 m_pagesHeld = 0; // stored and not released
    bool m_full = false;
    Counters m_counters;
};

} // namespace rich_text
