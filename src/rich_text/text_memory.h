#pragma once

#include "rich_text/file_writer.h"
#include "rich_text/spill_file.h"

#include <QByteArray>
#include <QStringList>

#include <array>
#include <memory>
#include <vector>

namespace rich_text {

// How much of a transcript stays in memory, and the one temporary file where
// the rest goes: old text, in stretches, and old pages of the paragraph
// table. The file is only ever appended to; nothing in it is written twice.
// The last few pages read back are kept for their next reader.
//
// The file is in one of two states: writing, while it takes what it is
// given (canTake()), or waiting for the disk, which is behind with its
// writing, refuses to write (no room, say), or has no folder where the file
// can be made (waiting() says which). What would go to the file meanwhile
// stays in memory; the disk's writer tries again by itself, and canTake()
// makes the file where it could not be made before.
//
// Shared by everything that keeps text or pages in it (the document, its
// text, the RTF source), each of which holds it for as long as it lives.
//
// Invariants:
// - m_end is where the next append goes; every append starts on a block of
//   the file system, so that a released range gives whole blocks back.
// - m_kept holds the pages read back lately, by offset, each with when it was
//   last read; offsets are never used twice, so a page released stays right
//   until it goes.
// - m_behind is set once the disk is kMostWaiting behind, and cleared once
//   it is half that behind.
class TextMemory {
public:
    static constexpr size_t kPagesKept = 32; // read back, kept for their next reader
    // All the resident memory the window may take: VZ_MEMORY_MIB when set
    // to a number of mebibytes, else 1 GiB, or a quarter of the machine's
    // memory where that is less.
    static qint64 residentBudget();
    // Bytes of text appended lately that stay in memory: the transcript's
    // share of the resident budget, a sixteenth.
    static qint64 defaultRecentText();
    static std::shared_ptr<TextMemory> make(qint64 recentText = defaultRecentText(),
                                            const QStringList &folders = SpillFile::folders());

    // Why the file takes no more now.
    struct Wait {
        enum class Reason { None, Behind, Refused, NoFolder } reason = Reason::None;
        SpillFile::Problem problem = SpillFile::Problem::None; // Refused: what the disk said
        int code = 0;
        std::vector<SpillFile::Refusal> folders; // NoFolder: each folder tried, and why it could not be used
    };

    struct Counters {
        qint64 bytesStored = 0; // appended to the file
        qint64 pagesLoaded = 0; // read back, not found among the pages kept
    };

    TextMemory(qint64 recentText, const QStringList &folders);
    ~TextMemory();
    TextMemory(const TextMemory &) = delete;
    TextMemory &operator=(const TextMemory &) = delete;

    qint64 recentText() const { return m_recentText; }
    void setRecentText(qint64 bytes) { m_recentText = bytes; }

    // Writing: the file takes more now (made here when there is none yet).
    bool canTake();
    Wait waiting() const;
    // Where `bytes` will lie; only while canTake().
    qint64 append(QByteArray bytes);
    // The page at `offset`, of `size` bytes, as appended; read back at most once while kept.
    QByteArray read(qint64 offset, qint64 size);
    void release(qint64 offset, qint64 size);

    const Counters &counters() const { return m_counters; }
    // Tests: the disk's writer waits, as on a disk that stalls.
    void holdWrites(bool held);

private:
    // What may wait for the disk beside the budget: about a second of the
    // fastest flood.
    qint64 mostWaiting() const;

    qint64 m_recentText;
    QStringList m_folders;
    std::vector<SpillFile::Refusal> m_refusals; // why the file could not be made, last time
    std::unique_ptr<FileWriter> m_writer;
    qint64 m_end = 0;
    bool m_behind = false;
    bool m_holdWrites = false;
    struct Kept {
        qint64 offset = -1;
        QByteArray bytes;
        quint64 read = 0;
    };
    std::array<Kept, kPagesKept> m_kept;
    quint64 m_reads = 0;
    Counters m_counters;
};

} // namespace rich_text
