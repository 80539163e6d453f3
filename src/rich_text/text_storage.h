#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <memory>
#include <vector>

namespace rich_text {

class FileStretch;
class GeneratedText;

// A stretch of characters that a rope's leaves share: one byte per character
// (`narrow`, Latin-1, with the few characters beyond it kept apart in
// `exceptions`), two (`wide`, UTF-16), characters made only when read
// (`generated`), or a stretch in the transcript's file (`file`). A storage
// with exceptions is at most kMaxStorage characters long, so that 16 bits
// place each of them.
struct Storage {
    static constexpr qint64 kMaxStorage = 65536;
    struct Exception {
        quint16 position;
        char16_t unit;
    };

    QString wide;
    QByteArray narrow;
    std::vector<Exception> exceptions;
    std::shared_ptr<const GeneratedText> generated;
    std::shared_ptr<const FileStretch> file;
    bool isNarrow = false;

    bool inMemory() const { return !generated && !file; }
    char16_t unit(qint64 at) const;
    void copyUnits(qint64 from, qint64 count, char16_t *out) const;
    // Calls sink(ctx, chunk) over units [from, from + count) of an in-memory
    // storage, a Latin-1 one widened a piece at a time; false when the sink
    // asked to stop.
    bool visit(qint64 from, qint64 count, void *ctx, bool (*sink)(void *, QStringView)) const;
};

// One byte per character where few characters fall beyond Latin-1, two
// otherwise. `text` is at most kMaxStorage characters long.
std::shared_ptr<Storage> storageFor(QStringView text);
std::shared_ptr<Storage> narrowStorage(QByteArray latin1, std::vector<Storage::Exception> exceptions = {});

} // namespace rich_text
