#pragma once

#include <QByteArray>
#include <QMutex>
#include <QWaitCondition>

#include <deque>
#include <memory>

class QThread;

namespace rich_text {

class SpillFile;

// Writes to the temporary file from a thread of its own, so that a disk that
// takes its time (a slow device, a file system's journal catching up, the
// system holding back a writer) never holds up the window: a write that the
// system keeps waiting for most of a second would otherwise be a window that
// does not answer for as long. What is handed over waits in memory until it
// is written, and reads see it at once.
//
// Invariants:
// - m_waiting holds, in the order given, what the thread has still to do;
//   its front is what the thread is doing, and leaves only once done.
// - m_waitingBytes is the sum of the waiting writes' sizes, at most
//   m_limit plus one write: beyond the limit write() answers Busy.
// - m_refused: the disk refused the front write (no room, say), which
//   stays waiting; the thread tries it again once per refused write().
// - Only the window's thread calls write(), read() and release(); only the
//   thread touches the file's writing side.
class WriteBehind {
public:
    enum class Answer {
        Taken,   // will be written; read() sees it already
        Busy,    // the disk is behind by the limit: nothing taken, try again soon
        Refused, // the disk refused an earlier write: nothing taken
    };

    WriteBehind(std::unique_ptr<SpillFile> file, qint64 limitBytes);
    ~WriteBehind();
    WriteBehind(const WriteBehind &) = delete;
    WriteBehind &operator=(const WriteBehind &) = delete;

    Answer write(qint64 offset, const char *data, qint64 size);
    // Fills [offset, offset + size) with what was last written there,
    // waiting or not; zeros where nothing was.
    void read(qint64 offset, char *data, qint64 size) const;
    // The range is no longer used; its space goes back after what waits.
    void release(qint64 offset, qint64 size);

    qint64 waitingBytes() const;
    // Whether `bytes` more may wait within the limit now.
    bool hasRoomFor(qint64 bytes) const;
    // Tests: the thread does nothing while held, as on a disk that stalls.
    void hold(bool held);

private:
    struct Work {
        qint64 offset;
        qint64 releaseSize; // > 0: a release, else a write of `bytes`
        QByteArray bytes;
    };
    void run();

    std::unique_ptr<SpillFile> m_file;
    const qint64 m_limit;
    mutable QMutex m_mutex;
    QWaitCondition m_wake;
    std::deque<Work> m_waiting;
    qint64 m_waitingBytes = 0;
    bool m_refused = false;
    bool m_retry = false;
    bool m_held = false;
    bool m_stopping = false;
    std::unique_ptr<QThread> m_thread;
};

} // namespace rich_text
