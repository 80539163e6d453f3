#pragma once

#include "rich_text/text_memory.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

namespace rich_text {

// An array of plain values that grows at its end, kept in pages of kPage
// values; with a TextMemory, pages not used lately go to its file and come
// back when read or written, so a table with an entry per paragraph costs
// memory only for the pages in use. Without one, every page stays in memory.
//
// Invariants:
// - m_pages[i] holds values [i * kPage, i * kPage + count) of the array;
//   every page but the last is full, and the last is not empty.
// - A page's values are in memory when `resident`, else in the file at
//   `offset`; a resident page whose values differ from the file's (or that
//   was never written) is `dirty`. A page in the file has a slot of a full
//   page, so that it is written again in place.
// - m_firsts[i] is the first value of page i.
template <typename T> class PagedArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    static constexpr size_t kPage = 65536 / sizeof(T);

    PagedArray() = default;
    PagedArray(PagedArray &&) noexcept = default;
    PagedArray &operator=(PagedArray &&) noexcept = default;

    // Pages from now on go to `memory` when they are not in use.
    void setMemory(std::shared_ptr<TextMemory> memory)
    {
        m_memory = std::move(memory);
        for (auto &page : m_pages) {
            page->memory = m_memory.get();
            if (m_memory && page->resident)
                m_memory->touch(*page);
        }
    }

    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

    T operator[](size_t i) const { return values(i / kPage)[i % kPage]; }
    T back() const { return (*this)[m_size - 1]; }
    void set(size_t i, const T &value)
    {
        Page &page = use(i / kPage);
        page.values[i % kPage] = value;
        page.dirty = true;
        if (i % kPage == 0)
            m_firsts[i / kPage] = value;
    }

    void push_back(const T &value)
    {
        if (m_size % kPage == 0) {
            auto page = std::make_unique<Page>();
            page->memory = m_memory.get();
            page->values.reserve(kPage);
            m_pages.push_back(std::move(page));
            m_firsts.push_back(value);
        }
        Page &page = use(m_pages.size() - 1);
        page.values.push_back(value);
        page.count += 1;
        page.dirty = true;
        ++m_size;
    }

    // Shrinks to `n` values, or grows with copies of `value`.
    void resize(size_t n, const T &value = T())
    {
        while (m_size < n)
            push_back(value);
        if (n >= m_size)
            return;
        const size_t pages = (n + kPage - 1) / kPage;
        m_pages.resize(pages);
        m_firsts.resize(pages);
        if (pages > 0 && n % kPage != 0) {
            Page &page = use(pages - 1);
            page.values.resize(n % kPage);
            page.count = n % kPage;
            page.dirty = true;
        }
        m_size = n;
    }
    void pop_back() { resize(m_size - 1); }
    void clear() { resize(0); }

    // For an array in ascending order: the index of the first value greater
    // than `value` (size() when none). Reads one page.
    size_t upperBound(const T &value) const
    {
        const auto page = std::upper_bound(m_firsts.begin(), m_firsts.end(), value);
        if (page == m_firsts.begin())
            return 0;
        const size_t index = size_t(page - m_firsts.begin() - 1);
        const std::vector<T> &in = values(index);
        return index * kPage + size_t(std::upper_bound(in.begin(), in.end(), value) - in.begin());
    }

    friend bool operator==(const PagedArray &a, const PagedArray &b)
    {
        if (a.m_size != b.m_size)
            return false;
        for (size_t i = 0; i < a.m_size; ++i) {
            if (!(a[i] == b[i]))
                return false;
        }
        return true;
    }

private:
    struct Page final : TextMemory::Resident {
        ~Page()
        {
            if (memory)
                memory->release(offset, qint64(kPage * sizeof(T)));
        }
        // A full page's worth, whatever it holds, so that its share never changes.
        qint64 residentBytes() const override { return resident ? qint64(kPage * sizeof(T)) : 0; }
        bool leaveMemory() override
        {
            if (dirty) {
                const char *bytes = reinterpret_cast<const char *>(values.data());
                const qint64 size = qint64(count * sizeof(T));
                if (offset < 0) {
                    // A full page's slot, so that it can be written again in place.
                    QByteArray slot(qint64(kPage * sizeof(T)), '\0');
                    std::memcpy(slot.data(), bytes, size_t(size));
                    offset = memory->store(slot.constData(), slot.size());
                    if (offset < 0)
                        return false;
                } else if (!memory->rewrite(offset, bytes, size)) {
                    return false;
                }
                dirty = false;
            }
            values = std::vector<T>();
            resident = false;
            return true;
        }

        TextMemory *memory = nullptr;
        std::vector<T> values;
        size_t count = 0;
        qint64 offset = -1;
        bool resident = true;
        bool dirty = true;
    };

    const std::vector<T> &values(size_t page) const { return use(page).values; }

    // The page in memory, and the most recently used.
    Page &use(size_t index) const
    {
        Page &page = *m_pages[index];
        if (!page.resident) {
            const QByteArray bytes = page.memory->load(page.offset, qint64(page.count * sizeof(T)));
            page.values.resize(page.count);
            std::memcpy(page.values.data(), bytes.constData(), page.count * sizeof(T));
            page.values.reserve(kPage);
            page.resident = true;
            page.dirty = false;
        }
        if (m_memory)
            m_memory->touch(page);
        return page;
    }

    std::shared_ptr<TextMemory> m_memory; // outlives the pages
    std::vector<std::unique_ptr<Page>> m_pages;
    std::vector<T> m_firsts;
    size_t m_size = 0;
};

} // namespace rich_text
