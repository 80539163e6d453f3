#pragma once

#include "rich_text/spill_file.h"

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace rich_text {

// Appends to the temporary file from a thread of its own, so that a disk
// that takes its time never holds up the window. Measured on ext4 over a
// loop device: a write of 1 MiB waited 115 ms on a disk of 18 MB/s mounted
// `sync`, and up to 420 ms on one mounted as usual while it filled; on the
// window's thread, that was a window that did not answer for as long.
//
// What is handed over waits in memory, where read() finds it, until it is
// written. A write that the disk refuses (no room, say) stays first in line,
// and the thread tries it again every kRetry by itself until it goes through.
//
// Invariants:
// - The file is only ever appended to: m_queue holds, in the order given,
//   what is still to be done; its front is what the thread is doing, and
//   leaves only once done. Bytes below the first waiting write are in the
//   file and are never written again.
// - m_waitingBytes is the sum of the waiting writes' sizes.
// - m_refusal is why the disk refused the front write, None while it takes them.
// - Only run() touches the file's writing side and pops from m_queue.
class FileWriter {
public:
    static constexpr std::chrono::milliseconds kRetry{200};

    explicit FileWriter(std::unique_ptr<SpillFile> file);
    // Waits for the write under way, however long the disk takes; what still
    // waits goes with the file.
    ~FileWriter();
    FileWriter(const FileWriter &) = delete;
    FileWriter &operator=(const FileWriter &) = delete;

    // `offset` lies past everything given before.
    void append(qint64 offset, QByteArray bytes);
    // The range is no longer used; its space goes back after what waits before it.
    void release(qint64 offset, qint64 size);
    // [offset, offset + size), from what waits or from the file.
    void read(qint64 offset, char *out, qint64 size) const;

    qint64 waitingBytes() const;
    SpillFile::Problem refusal(int *code = nullptr) const;
    // Tests: the thread takes nothing from the queue while held, as a disk that stalls.
    void hold(bool held);

private:
    struct Work {
        qint64 offset;
        qint64 released; // > 0: a release of that many bytes, else a write of `bytes`
        QByteArray bytes;
    };
    void run();

    std::unique_ptr<SpillFile> m_file;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Work> m_queue;
    qint64 m_waitingBytes = 0;
    SpillFile::Problem m_refusal = SpillFile::Problem::None;
    int m_refusalCode = 0;
    bool m_held = false;
    bool m_stopping = false;
    std::thread m_thread; // last: started once everything it uses is
};

} // namespace rich_text
