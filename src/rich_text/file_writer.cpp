#include "rich_text/file_writer.h"

#include <algorithm>
#include <cstring>

namespace rich_text {

FileWriter::FileWriter(std::unique_ptr<SpillFile> file)
    : m_file(std::move(file))
    , m_thread([this] { run(); })
{
}

FileWriter::~FileWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void FileWriter::append(qint64 offset, QByteArray bytes)
{
    {
        std::lock_guard lock(m_mutex);
        m_waitingBytes += bytes.size();
        m_queue.push_back(Work{offset, 0, std::move(bytes)});
    }
    m_wake.notify_all();
}

void FileWriter::release(qint64 offset, qint64 size)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(Work{offset, size, QByteArray()});
    }
    m_wake.notify_all();
}

void FileWriter::read(qint64 offset, char *out, qint64 size) const
{
    // What still waits is copied from memory; everything before the first
    // waiting write is in the file, and stays as it is: nothing is written twice.
    qint64 inFile = size;
    {
        std::lock_guard lock(m_mutex);
        for (const Work &w : m_queue) {
            if (w.released > 0)
                continue;
            const qint64 from = std::max(offset, w.offset);
            const qint64 to = std::min(offset + size, w.offset + qint64(w.bytes.size()));
            if (from >= to)
                continue;
            std::memcpy(out + (from - offset), w.bytes.constData() + (from - w.offset), size_t(to - from));
            inFile = std::min(inFile, from - offset);
        }
    }
    if (inFile > 0)
        m_file->read(offset, out, inFile);
}

qint64 FileWriter::waitingBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_waitingBytes;
}

SpillFile::Problem FileWriter::refusal(int *code) const
{
    std::lock_guard lock(m_mutex);
    if (code)
        *code = m_refusalCode;
    return m_refusal;
}

void FileWriter::hold(bool held)
{
    {
        std::lock_guard lock(m_mutex);
        m_held = held;
    }
    m_wake.notify_all();
}

void FileWriter::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || (!m_held && !m_queue.empty()); });
        if (m_stopping)
            return;
        // The front stays queued, where reads find it, until it is done;
        // appends behind it do not move it.
        const Work &work = m_queue.front();
        lock.unlock();
        SpillFile::Problem problem = SpillFile::Problem::None;
        int code = 0;
        if (work.released > 0)
            m_file->release(work.offset, work.released);
        else
            problem = m_file->write(work.offset, work.bytes.constData(), work.bytes.size(), &code);
        lock.lock();
        m_refusal = problem;
        m_refusalCode = code;
        if (problem == SpillFile::Problem::None) {
            m_waitingBytes -= work.bytes.size();
            m_queue.pop_front();
        } else {
            m_wake.wait_for(lock, kRetry, [this] { return m_stopping; });
        }
    }
}

} // namespace rich_text
