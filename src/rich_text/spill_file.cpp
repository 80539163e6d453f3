#include "rich_text/spill_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

#ifdef _WIN32
#include <QUuid>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace rich_text {

QString SpillFile::defaultDirectory()
{
    const QString fromEnvironment = qEnvironmentVariable("TMPDIR");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
#ifndef _WIN32
    const QFileInfo varTmp(QStringLiteral("/var/tmp"));
    if (varTmp.isDir() && varTmp.isWritable())
        return varTmp.filePath();
#endif
    return QDir::tempPath();
}

#ifdef _WIN32

qint64 SpillFile::physicalMemory()
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? qint64(status.ullTotalPhys) : 0;
}

std::unique_ptr<SpillFile> SpillFile::create(const QString &directory)
{
    const QString name = QDir(directory).filePath(
        QStringLiteral("varlo-zintabel-%1.tmp").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
    // Shared with no one, and deleted by the system when the last handle
    // closes, also when the process is killed.
    const HANDLE handle = CreateFileW(
        reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(name).utf16()), GENERIC_READ | GENERIC_WRITE, 0,
        nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::unique_ptr<SpillFile>(new SpillFile(reinterpret_cast<qintptr>(handle)));
}

SpillFile::~SpillFile() { CloseHandle(reinterpret_cast<HANDLE>(m_handle)); }

namespace {

// One read or write at an offset, waited for here. The file is opened for
// overlapped I/O although every call waits: on a handle opened without it
// the system does one call at a time, and the window's reads would wait
// for the writer thread's writes.
DWORD transfer(HANDLE file, qint64 offset, void *data, DWORD size, bool writing)
{
    OVERLAPPED o{};
    o.Offset = DWORD(quint64(offset) & 0xFFFFFFFFu);
    o.OffsetHigh = DWORD(quint64(offset) >> 32);
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!o.hEvent)
        return 0;
    DWORD done = 0;
    const BOOL ok = writing ? WriteFile(file, data, size, nullptr, &o) : ReadFile(file, data, size, nullptr, &o);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        if (!GetOverlappedResult(file, &o, &done, TRUE))
            done = 0;
    }
    CloseHandle(o.hEvent);
    return done;
}

} // namespace

bool SpillFile::write(qint64 offset, const char *data, qint64 size)
{
    while (size > 0) {
        const DWORD chunk = DWORD(std::min<qint64>(size, 1 << 30));
        const DWORD written
            = transfer(reinterpret_cast<HANDLE>(m_handle), offset, const_cast<char *>(data), chunk, true);
        if (written == 0)
            return false;
        offset += written;
        data += written;
        size -= written;
    }
    return true;
}

bool SpillFile::read(qint64 offset, char *data, qint64 size) const
{
    while (size > 0) {
        const DWORD chunk = DWORD(std::min<qint64>(size, 1 << 30));
        const DWORD got = transfer(reinterpret_cast<HANDLE>(m_handle), offset, data, chunk, false);
        if (got == 0) {
            std::memset(data, 0, size_t(size));
            return false;
        }
        offset += got;
        data += got;
        size -= got;
    }
    return true;
}

// The space comes back when the file closes.
void SpillFile::release(qint64, qint64) { }

#else

qint64 SpillFile::physicalMemory()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? qint64(pages) * pageSize : 0;
}

std::unique_ptr<SpillFile> SpillFile::create(const QString &directory)
{
    const QByteArray folder = QFile::encodeName(directory);
    int fd = -1;
#ifdef O_TMPFILE
    // A file without a name: nothing can open it, nothing is left behind.
    fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
#endif
    if (fd < 0) {
        // Where the file system makes no unnamed files: made, then unnamed at once.
        QByteArray pattern = folder + "/varlo-zintabel-XXXXXX";
        fd = ::mkstemp(pattern.data());
        if (fd < 0)
            return nullptr;
        ::unlink(pattern.constData());
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fchmod(fd, S_IRUSR | S_IWUSR);
    }
    return std::unique_ptr<SpillFile>(new SpillFile(fd));
}

SpillFile::~SpillFile() { ::close(int(m_handle)); }

bool SpillFile::write(qint64 offset, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::pwrite(int(m_handle), data, size_t(size), off_t(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        offset += written;
        data += written;
        size -= written;
    }
    return true;
}

bool SpillFile::read(qint64 offset, char *data, qint64 size) const
{
    while (size > 0) {
        const ssize_t got = ::pread(int(m_handle), data, size_t(size), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            std::memset(data, 0, size_t(size));
            return false;
        }
        offset += got;
        data += got;
        size -= got;
    }
    return true;
}

void SpillFile::release(qint64 offset, qint64 size)
{
#if defined(__linux__) && defined(FALLOC_FL_PUNCH_HOLE)
    // Where the file system cannot, the space comes back when the file closes.
    (void)::fallocate(int(m_handle), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(offset), off_t(size));
#else
    (void)offset;
    (void)size;
#endif
}

#endif

} // namespace rich_text
