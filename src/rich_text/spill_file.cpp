#include "rich_text/spill_file.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstring>
#include <utility>

#ifdef _WIN32
#include <QStandardPaths>
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

QStringList SpillFile::folders()
{
    QStringList out;
#ifdef _WIN32
    const QStringList candidates{QDir::tempPath(),
                                 QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)};
#else
    const QStringList candidates{qEnvironmentVariable("TMPDIR"), QStringLiteral("/var/tmp"), QStringLiteral("/tmp")};
#endif
    for (const QString &folder : candidates) {
        if (!folder.isEmpty() && !out.contains(folder))
            out.append(folder);
    }
    return out;
}

#ifdef _WIN32

qint64 SpillFile::physicalMemory()
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? qint64(status.ullTotalPhys) : 0;
}

namespace {

SpillFile::Problem problemOf(DWORD error)
{
    using P = SpillFile::Problem;
    const std::pair<DWORD, P> known[] = {{ERROR_SUCCESS, P::None},
                                         {ERROR_DISK_FULL, P::NoSpace},
                                         {ERROR_HANDLE_DISK_FULL, P::NoSpace},
                                         {ERROR_WRITE_PROTECT, P::ReadOnly},
                                         {ERROR_ACCESS_DENIED, P::NoPermission},
                                         {ERROR_FILE_NOT_FOUND, P::Missing},
                                         {ERROR_PATH_NOT_FOUND, P::Missing},
                                         {ERROR_INVALID_NAME, P::Missing},
                                         {ERROR_DIRECTORY, P::Missing}};
    for (const auto &[code, problem] : known) {
        if (code == error)
            return problem;
    }
    return P::Other;
}

} // namespace

std::unique_ptr<SpillFile> SpillFile::create(const QStringList &folders, std::vector<Refusal> &refusals)
{
    refusals.clear();
    for (const QString &folder : folders) {
        const QString name = QDir(folder).filePath(
            QStringLiteral("varlo-zintabel-%1.tmp").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
        // Shared with no one, and deleted by the system when the last handle
        // closes, also when the process is killed.
        const HANDLE handle = CreateFileW(
            reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(name).utf16()), GENERIC_READ | GENERIC_WRITE, 0,
            nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OVERLAPPED, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            return std::unique_ptr<SpillFile>(new SpillFile(reinterpret_cast<qintptr>(handle)));
        const DWORD error = GetLastError();
        refusals.push_back(Refusal{folder, problemOf(error), int(error)});
    }
    return nullptr;
}

SpillFile::~SpillFile() { CloseHandle(reinterpret_cast<HANDLE>(m_handle)); }

namespace {

// One read or write at an offset, waited for here. The file is opened for
// overlapped I/O although every call waits: on a handle opened without it
// the system does one call at a time, and the window's reads would wait
// for the writer thread's writes.
DWORD transfer(HANDLE file, qint64 offset, void *data, DWORD size, bool writing, DWORD *error)
{
    OVERLAPPED o{};
    o.Offset = DWORD(quint64(offset) & 0xFFFFFFFFu);
    o.OffsetHigh = DWORD(quint64(offset) >> 32);
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0;
    *error = ERROR_SUCCESS;
    if (!o.hEvent) {
        *error = GetLastError();
        return 0;
    }
    const BOOL ok = writing ? WriteFile(file, data, size, nullptr, &o) : ReadFile(file, data, size, nullptr, &o);
    if (!ok && GetLastError() != ERROR_IO_PENDING)
        *error = GetLastError();
    else if (!GetOverlappedResult(file, &o, &done, TRUE))
        *error = GetLastError();
    CloseHandle(o.hEvent);
    return *error == ERROR_SUCCESS ? done : 0;
}

} // namespace

SpillFile::Problem SpillFile::write(qint64 offset, const char *data, qint64 size, int *code)
{
    while (size > 0) {
        const DWORD chunk = DWORD(std::min<qint64>(size, 1 << 30));
        DWORD error = ERROR_SUCCESS;
        const DWORD written
            = transfer(reinterpret_cast<HANDLE>(m_handle), offset, const_cast<char *>(data), chunk, true, &error);
        if (written == 0) {
            if (code)
                *code = int(error);
            return error == ERROR_SUCCESS ? Problem::Other : problemOf(error);
        }
        offset += written;
        data += written;
        size -= written;
    }
    return Problem::None;
}

bool SpillFile::read(qint64 offset, char *data, qint64 size) const
{
    while (size > 0) {
        const DWORD chunk = DWORD(std::min<qint64>(size, 1 << 30));
        DWORD error = ERROR_SUCCESS;
        const DWORD got = transfer(reinterpret_cast<HANDLE>(m_handle), offset, data, chunk, false, &error);
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

namespace {

SpillFile::Problem problemOf(int error)
{
    using P = SpillFile::Problem;
    const std::pair<int, P> known[]
        = {{0, P::None},         {ENOSPC, P::NoSpace},      {EDQUOT, P::NoSpace},     {EFBIG, P::NoSpace},
           {EROFS, P::ReadOnly}, {EACCES, P::NoPermission}, {EPERM, P::NoPermission}, {ENOENT, P::Missing},
           {ENOTDIR, P::Missing}};
    for (const auto &[code, problem] : known) {
        if (code == error)
            return problem;
    }
    return P::Other;
}

int createIn(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
#ifdef O_TMPFILE
    // A file without a name: nothing can open it, nothing is left behind.
    const int fd = ::open(path.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0)
        return fd;
#endif
    // Where the file system makes no unnamed files: made, then unnamed at once.
    QByteArray pattern = path + "/varlo-zintabel-XXXXXX";
    const int named = ::mkstemp(pattern.data());
    if (named < 0)
        return -1;
    ::unlink(pattern.constData());
    ::fcntl(named, F_SETFD, FD_CLOEXEC);
    ::fchmod(named, S_IRUSR | S_IWUSR);
    return named;
}

} // namespace

std::unique_ptr<SpillFile> SpillFile::create(const QStringList &folders, std::vector<Refusal> &refusals)
{
    refusals.clear();
    for (const QString &folder : folders) {
        const int fd = createIn(folder);
        if (fd >= 0)
            return std::unique_ptr<SpillFile>(new SpillFile(fd));
        refusals.push_back(Refusal{folder, problemOf(errno), errno});
    }
    return nullptr;
}

SpillFile::~SpillFile() { ::close(int(m_handle)); }

SpillFile::Problem SpillFile::write(qint64 offset, const char *data, qint64 size, int *code)
{
    while (size > 0) {
        const ssize_t written = ::pwrite(int(m_handle), data, size_t(size), off_t(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            // A short write that stops at zero is a full disk.
            const int error = written < 0 ? errno : ENOSPC;
            if (code)
                *code = error;
            return problemOf(error);
        }
        offset += written;
        data += written;
        size -= written;
    }
    return Problem::None;
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
