#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace rich_text {

// The temporary file that holds the transcript's old text and tables. No
// other program can open it and nothing of it outlives the process, however
// the process ends: on Linux it has no name at all (O_TMPFILE) or loses it
// the moment it is made, and is readable by its owner alone (mode 0600); on
// Windows it is shared with no one and removed by the system when its last
// handle closes, a kill included.
//
// This is the only place that knows how each system does it. The file is
// written from FileWriter's thread and read from the window's, at offsets.
class SpillFile {
public:
    // Why a folder or a write could not be used, as the system said it.
    enum class Problem { None, NoSpace, ReadOnly, NoPermission, Missing, Other };
    struct Refusal {
        QString folder;
        Problem problem;
        int code; // the system's own error number
    };

    // The folders to try, in turn: TMPDIR, /var/tmp (on disk where /tmp may
    // be in memory), /tmp; on Windows the system's temporary folder, then
    // the user's local application data.
    static QStringList folders();
    // Made in the first of `folders` that takes it; null when none does, and
    // `refusals` then says why for each.
    static std::unique_ptr<SpillFile> create(const QStringList &folders, std::vector<Refusal> &refusals);
    // The machine's memory in bytes, 0 when unknown.
    static qint64 physicalMemory();

    ~SpillFile();
    SpillFile(const SpillFile &) = delete;
    SpillFile &operator=(const SpillFile &) = delete;

    // None when all of it was written.
    Problem write(qint64 offset, const char *data, qint64 size, int *code = nullptr);
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
