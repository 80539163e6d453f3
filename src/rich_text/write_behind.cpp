#include "rich_text/write_behind.h"

#include "rich_text/spill_file.h"

#include <QThread>

#include <algorithm>
#include <cstring>
#include <vector>

namespace rich_text {

WriteBehind::WriteBehind(std::unique_ptr<SpillFile> file, qint64 limitBytes)
    : m_file(std::move(file))
    , m_limit(limitBytes)
    , m_thread(QThread::create([this] { run(); }))
{
    m_thread->setObjectName(QStringLiteral("transcript file"));
    m_thread->start(QThread::LowPriority);
}

// What still waits is dropped: the file goes with the process.
WriteBehind::~WriteBehind()
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_wake.wakeAll();
    }
    m_thread->wait();
}

WriteBehind::Answer WriteBehind::write(qint64 offset, const char *data, qint64 size)
{
    QMutexLocker lock(&m_mutex);
    if (m_refused) {
        m_retry = true;
        m_wake.wakeAll();
        return Answer::Refused;
    }
    if (m_waitingBytes > m_limit)
        return Answer::Busy;
    m_waiting.push_back(Work{offset, 0, QByteArray(data, size)});
    m_waitingBytes += size;
    m_wake.wakeAll();
    return Answer::Taken;
}

void WriteBehind::release(qint64 offset, qint64 size)
{
    QMutexLocker lock(&m_mutex);
    m_waiting.push_back(Work{offset, size, QByteArray()});
    m_wake.wakeAll();
}

void WriteBehind::read(qint64 offset, char *data, qint64 size) const
{
    // The waiting writes that cover part of the range, in their order; the
    // last that covers all of it makes reading the file needless.
    std::vector<Work> over;
    bool covered = false;
    {
        QMutexLocker lock(&m_mutex);
        for (const Work &w : m_waiting) {
            if (w.releaseSize > 0 || w.offset >= offset + size || w.offset + w.bytes.size() <= offset)
                continue;
            if (w.offset <= offset && w.offset + w.bytes.size() >= offset + size) {
                over.clear();
                covered = true;
            }
            over.push_back(w);
        }
    }
    // Written while this reads or not, a waiting write is laid over what the
    // file gives, so the answer is the same either way.
    if (!covered)
        m_file->read(offset, data, size);
    for (const Work &w : over) {
        const qint64 from = std::max(offset, w.offset);
        const qint64 to = std::min(offset + size, w.offset + qint64(w.bytes.size()));
        std::memcpy(data + (from - offset), w.bytes.constData() + (from - w.offset), size_t(to - from));
    }
}

qint64 WriteBehind::waitingBytes() const
{
    QMutexLocker lock(&m_mutex);
    return m_waitingBytes;
}

bool WriteBehind::hasRoomFor(qint64 bytes) const
{
    QMutexLocker lock(&m_mutex);
    return m_waitingBytes + bytes <= m_limit;
}

void WriteBehind::hold(bool held)
{
    QMutexLocker lock(&m_mutex);
    m_held = held;
    m_wake.wakeAll();
}

void WriteBehind::run()
{
    QMutexLocker lock(&m_mutex);
    for (;;) {
        while (!m_stopping && (m_held || m_waiting.empty() || (m_refused && !m_retry)))
            m_wake.wait(&m_mutex);
        if (m_stopping)
            return;
        m_retry = false;
        // The front stays in m_waiting, where reads find it, until written.
        const Work &work = m_waiting.front();
        lock.unlock();
        bool done = true;
        if (work.releaseSize > 0)
            m_file->release(work.offset, work.releaseSize);
        else
            done = m_file->write(work.offset, work.bytes.constData(), work.bytes.size());
        lock.relock();
        m_refused = !done;
        if (done) {
            m_waitingBytes -= work.bytes.size();
            m_waiting.pop_front();
        }
    }
}

} // namespace rich_text
