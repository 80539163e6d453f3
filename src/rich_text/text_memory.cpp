#include "rich_text/text_memory.h"

#include "rich_text/spill_file.h"

#include <algorithm>

namespace rich_text {

namespace {

constexpr qint64 kGiB = qint64(1) << 30;
// Stores start on a block of the file system, so that a released range
// gives whole blocks back.
constexpr qint64 kAlignment = 4096;

qint64 aligned(qint64 n) { return (n + kAlignment - 1) / kAlignment * kAlignment; }

} // namespace

qint64 TextMemory::residentBudget()
{
    const qint64 physical = SpillFile::physicalMemory();
    return physical > 0 ? std::min(kGiB, physical / 4) : kGiB;
}

// The text appended lately and the pages read back take a sixteenth each,
// knowing where the file's pages lie at most half; the rest is for the
// program itself, its fonts and the view's layouts.
TextMemory::Budget TextMemory::defaultBudget()
{
    const qint64 total = residentBudget();
    return Budget{total / 16, total / 16, total / 2};
}

std::shared_ptr<TextMemory> TextMemory::make(Budget budget, const QString &directory)
{
    return std::make_shared<TextMemory>(budget, directory);
}

TextMemory::Resident::~Resident()
{
    if (m_memory)
        m_memory->forget(*this);
}

TextMemory::TextMemory(Budget budget, const QString &directory)
    : m_directory(directory)
{
    setBudget(budget);
}

TextMemory::~TextMemory()
{
    // Pages outliving their memory would be a fault of their owners; they
    // are taken off the list so that none points here.
    while (m_first)
        unlink(*m_first);
}

void TextMemory::setBudget(const Budget &budget)
{
    m_budget = budget;
    constexpr qint64 kPageBytes = 65536;
    m_nearFront = quint64(std::clamp<qint64>(budget.loadedPages / kPageBytes / 4, 0, kNearFront));
    trim();
}

bool TextMemory::noteWrite(WriteBehind::Answer a)
{
    m_canSpill = a == WriteBehind::Answer::Taken;
    m_busy = a == WriteBehind::Answer::Busy;
    m_counters.busyWrites += m_busy;
    m_counters.failedWrites += a == WriteBehind::Answer::Refused;
    return m_canSpill;
}

// What may wait for the disk, beside the budget: half of what the recent text
// and the loaded pages may take (64 MiB at a 1 GiB budget, about a second of
// the fastest flood), and never less than a few stretches of text.
qint64 TextMemory::writeBehindLimit() const
{
    return std::max<qint64>((m_budget.recentText + m_budget.loadedPages) / 2, qint64(8) << 20);
}

void TextMemory::holdWrites(bool held)
{
    m_holdWrites = held;
    if (m_file)
        m_file->hold(held);
}

bool TextMemory::canTake(qint64 bytes)
{
    return !m_file || m_file->hasRoomFor(bytes) || noteWrite(WriteBehind::Answer::Busy);
}

qint64 TextMemory::store(const char *data, qint64 size)
{
    if ((m_pagesHeld + 1) * kIndexBytesPerPage > m_budget.fileIndex) {
        m_full = true;
        noteWrite(WriteBehind::Answer::Refused);
        return -1;
    }
    if (!m_file) {
        auto file = SpillFile::create(m_directory.isEmpty() ? SpillFile::defaultDirectory() : m_directory);
        if (!file) {
            noteWrite(WriteBehind::Answer::Refused);
            return -1;
        }
        m_file = std::make_unique<WriteBehind>(std::move(file), writeBehindLimit());
        m_file->hold(m_holdWrites);
    }
    const qint64 at = m_end;
    if (!noteWrite(m_file->write(at, data, size)))
        return -1;
    m_end = at + aligned(size);
    ++m_pagesHeld;
    ++m_counters.pagesStored;
    m_counters.bytesStored += size;
    return at;
}

bool TextMemory::rewrite(qint64 offset, const char *data, qint64 size)
{
    if (!m_file)
        return noteWrite(WriteBehind::Answer::Refused);
    if (!noteWrite(m_file->write(offset, data, size)))
        return false;
    ++m_counters.pagesStored;
    m_counters.bytesStored += size;
    return true;
}

QByteArray TextMemory::load(qint64 offset, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    if (m_file) {
        m_file->read(offset, bytes.data(), size);
    } else {
        bytes.fill('\0');
    }
    ++m_counters.pagesLoaded;
    return bytes;
}

void TextMemory::release(qint64 offset, qint64 size)
{
    if (!m_file || offset < 0 || size <= 0)
        return;
    m_file->release(offset, aligned(size));
    --m_pagesHeld;
    ++m_counters.pagesReleased;
}

void TextMemory::unlink(Resident &page)
{
    if (page.m_previous)
        page.m_previous->m_next = page.m_next;
    else
        m_first = page.m_next;
    if (page.m_next)
        page.m_next->m_previous = page.m_previous;
    else
        m_last = page.m_previous;
    m_listedBytes -= page.m_listedBytes;
    page.m_previous = page.m_next = nullptr;
    page.m_listedBytes = 0;
    page.m_memory = nullptr;
}

void TextMemory::pushFront(Resident &page)
{
    page.m_memory = this;
    page.m_previous = nullptr;
    page.m_next = m_first;
    if (m_first)
        m_first->m_previous = &page;
    m_first = &page;
    if (!m_last)
        m_last = &page;
    page.m_listedBytes = page.residentBytes();
    m_listedBytes += page.m_listedBytes;
    page.m_stamp = ++m_clock;
}

void TextMemory::pushBack(Resident &page)
{
    page.m_memory = this;
    page.m_next = nullptr;
    page.m_previous = m_last;
    if (m_last)
        m_last->m_next = &page;
    m_last = &page;
    if (!m_first)
        m_first = &page;
    page.m_listedBytes = page.residentBytes();
    m_listedBytes += page.m_listedBytes;
}

void TextMemory::touch(Resident &page)
{
    if (page.m_memory == this && m_clock - page.m_stamp < m_nearFront && page.m_listedBytes == page.residentBytes())
        return;
    if (page.m_memory)
        unlink(page);
    pushFront(page);
    // Without room in the file, only an explicit trim() tries again; a disk
    // that is only behind is asked again, which costs little.
    if (m_canSpill || m_busy)
        trim();
}

void TextMemory::forget(Resident &page)
{
    if (page.m_memory == this)
        unlink(page);
}

bool TextMemory::trim()
{
    if (m_trimming)
        return true;
    m_trimming = true;
    bool ok = true;
    // The least recent pages leave first; the most recent one always stays,
    // being in use right now.
    while (m_listedBytes > m_budget.loadedPages && m_last && m_last != m_first) {
        // Off the list first: a page that leaves may be gone afterwards.
        Resident &oldest = *m_last;
        unlink(oldest);
        if (!oldest.leaveMemory()) {
            pushBack(oldest);
            ok = false;
            break;
        }
    }
    m_trimming = false;
    return ok;
}

} // namespace rich_text
