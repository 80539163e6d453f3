#pragma once

#include <QString>

#include <memory>

namespace rich_text {

// The temporary file that holds the transcript's text and tables while they
// are out of memory. No other program can open it and nothing of it outlives
// the process, however the process ends: on Linux it has no name at all
// (O_TMPFILE) or loses it the moment it is made, and is readable by its owner
// alone (mode 0600); on Windows it is shared with no one and removed by the
// system when its last handle closes, a kill included.
//
// This is the only place that knows how each system does it; the file is read
// and written at offsets (written from WriteBehind's thread, read from the
// window's).
class SpillFile {
public:
    // The folder the file goes to: TMPDIR when set, else a folder meant for
    // large temporary files (/var/tmp on Linux, which is on disk where /tmp
    // may be in memory), else the system's temporary folder.
    static QString defaultDirectory();
    // Null when no file can be made there.
    static std::unique_ptr<SpillFile> create(const QString &directory);
    // The machine's memory in bytes, 0 when unknown.
    static qint64 physicalMemory();

    ~SpillFile();
    SpillFile(const SpillFile &) = delete;
    SpillFile &operator=(const SpillFile &) = delete;

    // False when not all of it could be written (the disk is full, say).
    bool write(qint64 offset, const char *data, qint64 size);
    // False on an input error; `data` then holds zeros where nothing was read.
    bool read(qint64 offset, char *data, qint64 size) const;
    // The bytes of [offset, offset + size) are no longer used: the system may
    // take their space back (where it can; elsewhere it does when the file closes).
    void release(qint64 offset, qint64 size);

private:
    explicit SpillFile(qintptr handle)
        : m_handle(handle)
    {
    }
    qintptr m_handle; // a file descriptor, or a Windows HANDLE
};

} // namespace rich_text
