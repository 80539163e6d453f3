#include "rich_text/text_memory.h"

#include <algorithm>

namespace rich_text {

namespace {

constexpr qint64 kMiB = qint64(1) << 20;
constexpr qint64 kAlignment = 4096;

qint64 aligned(qint64 n) { return (n + kAlignment - 1) / kAlignment * kAlignment; }

} // namespace

qint64 TextMemory::residentBudget()
{
    bool ok = false;
    const qint64 set = qEnvironmentVariable("VZ_MEMORY_MIB").toLongLong(&ok);
    if (ok && set > 0 && set <= (qint64(1) << 24))
        return set * kMiB;
    const qint64 physical = SpillFile::physicalMemory();
    return physical > 0 ? std::min(1024 * kMiB, physical / 4) : 1024 * kMiB;
}

qint64 TextMemory::defaultRecentText() { return residentBudget() / 16; }

std::shared_ptr<TextMemory> TextMemory::make(qint64 recentText, const QStringList &folders)
{
    return std::make_shared<TextMemory>(recentText, folders);
}

TextMemory::TextMemory(qint64 recentText, const QStringList &folders)
    : m_recentText(recentText)
    , m_folders(folders)
{
}

TextMemory::~TextMemory() = default;

qint64 TextMemory::mostWaiting() const { return std::max(m_recentText, 8 * kMiB); }

bool TextMemory::canTake()
{
    if (!m_writer) {
        auto file = SpillFile::create(m_folders, m_refusals);
        if (!file)
            return false;
        m_writer = std::make_unique<FileWriter>(std::move(file));
        m_writer->hold(m_holdWrites);
    }
    if (m_writer->refusal() != SpillFile::Problem::None)
        return false;
    const qint64 waiting = m_writer->waitingBytes();
    m_behind = waiting > (m_behind ? mostWaiting() / 2 : mostWaiting());
    return !m_behind;
}

TextMemory::Wait TextMemory::waiting() const
{
    Wait wait;
    if (!m_writer) {
        if (!m_refusals.empty()) {
            wait.reason = Wait::Reason::NoFolder;
            wait.folders = m_refusals;
        }
        return wait;
    }
    wait.problem = m_writer->refusal(&wait.code);
    if (wait.problem != SpillFile::Problem::None)
        wait.reason = Wait::Reason::Refused;
    else if (m_behind)
        wait.reason = Wait::Reason::Behind;
    return wait;
}

qint64 TextMemory::append(QByteArray bytes)
{
    Q_ASSERT(m_writer);
    const qint64 at = m_end;
    m_end += aligned(bytes.size());
    m_counters.bytesStored += bytes.size();
    m_writer->append(at, std::move(bytes));
    return at;
}

QByteArray TextMemory::read(qint64 offset, qint64 size)
{
    Kept *oldest = &m_kept.front();
    for (Kept &k : m_kept) {
        if (k.offset == offset) {
            k.read = ++m_reads;
            return k.bytes;
        }
        oldest = k.read < oldest->read ? &k : oldest;
    }
    QByteArray bytes(size, '\0');
    if (m_writer)
        m_writer->read(offset, bytes.data(), size);
    ++m_counters.pagesLoaded;
    *oldest = Kept{offset, bytes, ++m_reads};
    return bytes;
}

void TextMemory::release(qint64 offset, qint64 size)
{
    if (m_writer && size > 0)
        m_writer->release(offset, aligned(size));
}

void TextMemory::holdWrites(bool held)
{
    m_holdWrites = held;
    if (m_writer)
        m_writer->hold(held);
}

} // namespace rich_text
