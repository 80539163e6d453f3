#include "rich_text/file_text.h"

#include "rich_text/text_memory.h"

#include <algorithm>
#include <array>
#include <bit>

namespace rich_text {

static_assert(FileStretch::kPages <= 16, "which pages are wide fits 16 bits");

Rope FileStretch::store(const std::shared_ptr<TextMemory> &memory, const Rope &text)
{
    Q_ASSERT(text.length() <= kChars);
    QByteArray bytes;
    quint16 wide = 0;
    qint64 pages = 0;
    QString page;
    auto encode = [&] {
        const bool latin1 = std::all_of(page.cbegin(), page.cend(), [](QChar c) { return c.unicode() < 0x100; });
        if (latin1)
            bytes += page.toLatin1();
        else
            bytes.append(reinterpret_cast<const char *>(page.utf16()), page.size() * 2);
        wide |= quint16(latin1 ? 0 : 1u << pages);
        ++pages;
        page.resize(0);
    };
    text.forEachChunk(0, [&](QStringView chunk) {
        while (!chunk.isEmpty()) {
            const qsizetype take = std::min<qsizetype>(kPageChars - page.size(), chunk.size());
            page.append(chunk.left(take));
            chunk = chunk.mid(take);
            if (page.size() == kPageChars)
                encode();
        }
        return true;
    });
    if (!page.isEmpty())
        encode();
    const qint64 size = bytes.size();
    const qint64 offset = memory->append(std::move(bytes));
    return Rope::inFile(std::make_shared<const FileStretch>(memory, offset, size, text.length(), wide));
}

FileStretch::FileStretch(std::shared_ptr<TextMemory> memory, qint64 offset, qint64 bytes, qint64 length,
                         quint16 widePages)
    : m_memory(std::move(memory))
    , m_offset(offset)
    , m_bytes(bytes)
    , m_length(length)
    , m_widePages(widePages)
{
}

FileStretch::~FileStretch() { m_memory->release(m_offset, m_bytes); }

// Pages before it take one byte a character, and one more for each wide one.
QByteArray FileStretch::page(qint64 index) const
{
    const qint64 wideBefore = std::popcount(unsigned(m_widePages) & ((1u << index) - 1));
    const qint64 at = m_offset + (index + wideBefore) * kPageChars;
    return m_memory->read(at, pageLength(index) * (isWide(index) ? 2 : 1));
}

char16_t FileStretch::unit(qint64 at) const
{
    const QByteArray bytes = page(at / kPageChars);
    const qint64 within = at % kPageChars;
    if (isWide(at / kPageChars))
        return reinterpret_cast<const char16_t *>(bytes.constData())[within];
    return char16_t(uchar(bytes[within]));
}

void FileStretch::copyUnits(qint64 from, qint64 count, char16_t *out) const
{
    visit(from, count, &out, [](void *ctx, QStringView chunk) {
        auto &to = *static_cast<char16_t **>(ctx);
        to = std::copy(chunk.utf16(), chunk.utf16() + chunk.size(), to);
        return true;
    });
}

bool FileStretch::visit(qint64 from, qint64 count, void *ctx, bool (*sink)(void *, QStringView)) const
{
    std::array<char16_t, 2048> buffer;
    while (count > 0) {
        const qint64 index = from / kPageChars;
        const qint64 within = from % kPageChars;
        const qint64 n = std::min(count, pageLength(index) - within);
        const QByteArray bytes = page(index);
        if (isWide(index)) {
            if (!sink(ctx, QStringView(reinterpret_cast<const char16_t *>(bytes.constData()) + within, n)))
                return false;
        } else {
            for (qint64 at = 0; at < n;) {
                const qint64 piece = std::min<qint64>(n - at, qint64(buffer.size()));
                const char *latin1 = bytes.constData() + within + at;
                std::transform(latin1, latin1 + piece, buffer.begin(), [](char c) { return char16_t(uchar(c)); });
                if (!sink(ctx, QStringView(buffer.data(), piece)))
                    return false;
                at += piece;
            }
        }
        from += n;
        count -= n;
    }
    return true;
}

} // namespace rich_text
