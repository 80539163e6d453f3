#pragma once

#include "rich_text/text_memory.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

namespace rich_text {

// An array of plain values that grows at its end (or loses its last), in
// pages of kPage values. With a TextMemory, every full page but the last few goes
// to its file, once, and is read back through the memory's pages kept; what
// stays in memory for it is where it lies and its first value. Without one,
// or while the file takes nothing, the values stay in memory.
//
// Invariants:
// - m_inFile[i] is where page i lies in the file: values [i * kPage,
//   (i + 1) * kPage), never changed there.
// - m_recent holds the values from inFileCount() on, in memory.
// - m_firsts[i] is the first value of page i, for every page begun.
template <typename T> class FileArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    static constexpr size_t kPage = 65536;
    static constexpr size_t kRecentPages = 2; // full pages kept in memory at most, while the file takes them

    FileArray() = default;
    ~FileArray()
    {
        for (const qint64 at : m_inFile)
            m_memory->release(at, kPageBytes);
    }
    FileArray(FileArray &&other) noexcept { swap(other); }
    // What this array held goes with `other`.
    FileArray &operator=(FileArray &&other) noexcept
    {
        swap(other);
        return *this;
    }

    void setMemory(std::shared_ptr<TextMemory> memory)
    {
        m_memory = std::move(memory);
        spill();
    }

    size_t size() const { return inFileCount() + m_recent.size(); }
    T operator[](size_t i) const
    {
        if (i >= inFileCount())
            return m_recent[i - inFileCount()];
        T value;
        std::memcpy(&value, page(i / kPage).constData() + (i % kPage) * sizeof(T), sizeof(T));
        return value;
    }

    void push_back(const T &value)
    {
        if (size() % kPage == 0)
            m_firsts.push_back(value);
        m_recent.push_back(value);
        if (m_recent.size() % kPage == 0)
            spill();
    }
    void pop_back()
    {
        if (m_recent.empty()) { // the last page comes back from the file, which lets it go
            m_recent.resize(kPage);
            std::memcpy(m_recent.data(), page(m_inFile.size() - 1).constData(), kPageBytes);
            m_memory->release(m_inFile.back(), kPageBytes);
            m_inFile.pop_back();
        }
        m_recent.pop_back();
        if (size() % kPage == 0)
            m_firsts.pop_back();
    }

    // For an array in ascending order: the index of the first value greater
    // than `value` (size() when none). Reads one page.
    size_t upperBound(const T &value) const
    {
        const auto found = std::upper_bound(m_firsts.begin(), m_firsts.end(), value);
        if (found == m_firsts.begin())
            return 0;
        const size_t p = size_t(found - m_firsts.begin() - 1);
        if (p >= m_inFile.size()) {
            const auto from = m_recent.begin() + qsizetype((p - m_inFile.size()) * kPage);
            return p * kPage + size_t(std::upper_bound(from, m_recent.end(), value) - from);
        }
        const QByteArray bytes = page(p);
        const T *values = reinterpret_cast<const T *>(bytes.constData());
        return p * kPage + size_t(std::upper_bound(values, values + kPage, value) - values);
    }

    // Full pages beyond the few kept go to the file while it takes them;
    // false when some stay that are due.
    bool spill()
    {
        while (m_memory && m_recent.size() > kRecentPages * kPage) {
            if (!m_memory->canTake())
                return false;
            m_inFile.push_back(
                m_memory->append(QByteArray(reinterpret_cast<const char *>(m_recent.data()), qsizetype(kPageBytes))));
            m_recent.erase(m_recent.begin(), m_recent.begin() + qsizetype(kPage));
        }
        return true;
    }

    friend bool operator==(const FileArray &a, const FileArray &b)
    {
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i) {
            if (!(a[i] == b[i]))
                return false;
        }
        return true;
    }

private:
    void swap(FileArray &other) noexcept
    {
        std::swap(m_memory, other.m_memory);
        std::swap(m_inFile, other.m_inFile);
        std::swap(m_recent, other.m_recent);
        std::swap(m_firsts, other.m_firsts);
    }
    static constexpr qint64 kPageBytes = qint64(kPage * sizeof(T));
    size_t inFileCount() const { return m_inFile.size() * kPage; }
    QByteArray page(size_t p) const { return m_memory->read(m_inFile[p], kPageBytes); }

    std::shared_ptr<TextMemory> m_memory; // outlives the pages
    std::vector<qint64> m_inFile;
    std::vector<T> m_recent;
    std::vector<T> m_firsts;
};

} // namespace rich_text
