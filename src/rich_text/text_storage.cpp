#include "rich_text/text_storage.h"

#include "rich_text/file_text.h"
#include "rich_text/rope.h"

#include <algorithm>
#include <array>

namespace rich_text {

namespace {

// Up to one character in this many beyond Latin-1 still stores one byte per character.
constexpr qsizetype kExceptionRatio = 8;

std::vector<Storage::Exception>::const_iterator firstExceptionFrom(const Storage &s, qint64 at)
{
    return std::lower_bound(s.exceptions.begin(), s.exceptions.end(), at,
                            [](const Storage::Exception &e, qint64 p) { return qint64(e.position) < p; });
}

// A storage keeps its characters for as long as any leaf refers to it, so
// text that grew by appends gives back its spare room first.
std::shared_ptr<Storage> wideStorage(QString text)
{
    text.squeeze();
    auto storage = std::make_shared<Storage>();
    storage->wide = std::move(text);
    return storage;
}

} // namespace

char16_t Storage::unit(qint64 at) const
{
    if (generated)
        return generated->characters().at(at).unicode();
    if (file)
        return file->unit(at);
    if (!isNarrow)
        return wide[at].unicode();
    const auto found = firstExceptionFrom(*this, at);
    if (found != exceptions.end() && found->position == at)
        return found->unit;
    return char16_t(uchar(narrow[at]));
}

void Storage::copyUnits(qint64 from, qint64 count, char16_t *out) const
{
    if (generated) {
        generated->characters().mid(from, count).forEachChunk(0, [&out](QStringView chunk) {
            out = std::copy(chunk.utf16(), chunk.utf16() + chunk.size(), out);
            return true;
        });
        return;
    }
    if (file) {
        file->copyUnits(from, count, out);
        return;
    }
    if (!isNarrow) {
        std::copy_n(reinterpret_cast<const char16_t *>(wide.constData()) + from, count, out);
        return;
    }
    const char *bytes = narrow.constData() + from;
    for (qint64 k = 0; k < count; ++k)
        out[k] = char16_t(uchar(bytes[k]));
    for (auto e = firstExceptionFrom(*this, from); e != exceptions.end() && e->position < from + count; ++e)
        out[e->position - from] = e->unit;
}

bool Storage::visit(qint64 from, qint64 count, void *ctx, bool (*sink)(void *, QStringView)) const
{
    if (!isNarrow)
        return sink(ctx, QStringView(wide).mid(from, count));
    std::array<char16_t, 2048> buffer;
    for (qint64 at = 0; at < count;) {
        const qint64 n = std::min<qint64>(count - at, qint64(buffer.size()));
        copyUnits(from + at, n, buffer.data());
        if (!sink(ctx, QStringView(buffer.data(), n)))
            return false;
        at += n;
    }
    return true;
}

std::shared_ptr<Storage> narrowStorage(QByteArray latin1, std::vector<Storage::Exception> exceptions)
{
    latin1.squeeze();
    exceptions.shrink_to_fit();
    auto storage = std::make_shared<Storage>();
    storage->narrow = std::move(latin1);
    storage->exceptions = std::move(exceptions);
    storage->isNarrow = true;
    return storage;
}

std::shared_ptr<Storage> storageFor(QStringView text)
{
    std::vector<Storage::Exception> exceptions;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].unicode() >= 0x100) {
            if (qsizetype(exceptions.size()) >= text.size() / kExceptionRatio)
                return wideStorage(text.toString());
            exceptions.push_back(Storage::Exception{quint16(i), text[i].unicode()});
        }
    }
    return narrowStorage(text.toLatin1(), std::move(exceptions));
}

} // namespace rich_text
