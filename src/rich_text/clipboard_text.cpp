#include "rich_text/clipboard_text.h"

#include "rich_text/line_breaks.h"

#include <QEventLoop>
#include <QStringEncoder>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace rich_text {

namespace {

const QString kTextPlain = QStringLiteral("text/plain");

// How often a text made for pastes is checked for whether anyone but us
// still holds it.
constexpr int kReleaseCheckMs = 200;

} // namespace

// One form of a copy's text (UTF-8, or UTF-16 in a QString) for those who
// ask for it. A text of one slice or less is made at once for each request
// and not kept. A longer one is made a slice per pass of the event loop, each
// request waiting in an event loop of its own until it is whole; it is then
// kept for further requests as long as anybody else holds it (Qt's transfer
// to a pasting program holds the QByteArray it was given until the program
// has all of it), and let go once nobody does.
//
// Invariants:
// - m_reader has read the rope up to where m_bytes or m_string ends (the
//   one of m_form); m_pendingHigh is a high surrogate read and not yet
//   encoded, as its low one may start the next slice.
// - m_ready: the text is whole and m_reader at its end; m_slices runs only
//   while the text is being made and some request waits for it.
// - m_waiting holds the event loops of the requests waiting for this text,
//   innermost last; the text is not let go while one waits, nor while a
//   stream holds it (m_streams).
class SlicedText {
public:
    enum class Form { Utf8, Utf16 };

    SlicedText(const Rope &text, Form form)
        : m_text(text)
        , m_form(form)
        , m_reader(text)
    {
        m_slices.setInterval(0);
        QObject::connect(&m_slices, &QTimer::timeout, [this] { makeSlice(); });
        m_release.setInterval(kReleaseCheckMs);
        QObject::connect(&m_release, &QTimer::timeout, [this] { letGoWhenUnused(); });
    }
    SlicedText(const SlicedText &) = delete;
    SlicedText &operator=(const SlicedText &) = delete;

    // The whole text; returns once it is made, the window answering meanwhile.
    QVariant await();
    // A stream takes the text as it is made: the making starts, and the text
    // stays until the last stream lets go.
    void holdForStream();
    void letGoOfStream();
    QByteArrayView made() const { return QByteArrayView(m_bytes.constData(), m_used); }
    bool isReady() const { return m_ready; }

    const ClipboardText::Work &work() const { return m_work; }
    bool holdsText() const { return m_ready; }

private:
    bool isShort() const { return m_text.length() <= ClipboardText::kSliceCharacters; }
    void start();
    void makeSlice();
    void append(QStringView piece);
    void makeRoom(qsizetype room);
    void encode(QStringView piece);
    static bool hasSurrogates(QStringView piece);
    void encodeValid(QStringView piece);
    void finish();
    QVariant result() const { return m_form == Form::Utf8 ? QVariant(m_bytes) : QVariant(m_string); }
    void letGoWhenUnused();
    void letGo();

    const Rope m_text;
    const Form m_form;
    LfBreakReader m_reader;
    QByteArray m_bytes;
    qsizetype m_used = 0; // of m_bytes, while a slice writes into the room made for it
    QString m_string;
    QChar m_pendingHigh;
    QStringEncoder m_encoder{QStringEncoder::Utf8, QStringEncoder::Flag::Stateless};
    bool m_ready = false;
    std::vector<QEventLoop *> m_waiting;
    int m_streams = 0;
    QTimer m_slices;
    QTimer m_release;
    ClipboardText::Work m_work;
};

QVariant SlicedText::await()
{
    if (isShort()) {
        start();
        makeSlice();
        const QVariant whole = result();
        letGo(); // made again for the next request: it costs as little
        return whole;
    }
    if (!m_ready) {
        if (!m_slices.isActive())
            start();
        QEventLoop loop;
        m_waiting.push_back(&loop);
        loop.exec();
        m_waiting.erase(std::find(m_waiting.begin(), m_waiting.end(), &loop));
        // The loop ended before the text was whole only as the program
        // quits: there is no window left to keep answering.
        while (!m_ready)
            makeSlice();
    }
    m_release.start();
    return result();
}

void SlicedText::holdForStream()
{
    ++m_streams;
    if (!m_ready && !m_slices.isActive())
        start();
    if (!m_ready && isShort())
        makeSlice();
}

void SlicedText::letGoOfStream()
{
    --m_streams;
    m_release.start();
}

void SlicedText::start()
{
    ++m_work.builds;
    // With LF breaks a text has at most the rope's characters, and in UTF-8
    // as many bytes when it is ASCII (with the room a slice needs beyond it);
    // more is added as it grows.
    if (m_form == Form::Utf8)
        m_bytes.reserve(m_text.length() + m_encoder.requiredSpace(ClipboardText::kSliceCharacters + 2));
    else
        m_string.reserve(m_text.length());
    if (!isShort())
        m_slices.start();
}

void SlicedText::makeSlice()
{
    ++m_work.slices;
    const qint64 before = m_reader.charactersRead();
    if (m_form == Form::Utf8)
        makeRoom(m_encoder.requiredSpace(ClipboardText::kSliceCharacters + 2));
    m_reader.readSlice(ClipboardText::kSliceCharacters, [this](QStringView piece) { append(piece); });
    m_bytes.resize(m_used); // what the slice did not take of the room made for it
    m_work.largestSlice = std::max(m_work.largestSlice, m_reader.charactersRead() - before);
    if (m_reader.atEnd())
        finish();
}

void SlicedText::makeRoom(qsizetype room)
{
    if (m_bytes.capacity() - m_used < room)
        m_bytes.reserve(std::max(2 * m_bytes.capacity(), m_used + room));
    m_bytes.resize(m_used + room); // new bytes are not written, nor touched
}

void SlicedText::append(QStringView piece)
{
    if (m_form == Form::Utf16) {
        m_string.append(piece);
        return;
    }
    if (piece.isEmpty())
        return; // a high surrogate waiting for its low one still waits
    // A surrogate pair split between two pieces is encoded as one character.
    if (!m_pendingHigh.isNull()) {
        const QChar pair[2] = {m_pendingHigh, piece.front()};
        const bool whole = pair[1].isLowSurrogate();
        m_pendingHigh = QChar();
        encode(QStringView(pair, whole ? 2 : 1));
        if (whole)
            piece = piece.mid(1);
    }
    if (!piece.isEmpty() && piece.back().isHighSurrogate()) {
        m_pendingHigh = piece.back();
        piece.chop(1);
    }
    encode(piece);
}

void SlicedText::encode(QStringView piece)
{
    if (!hasSurrogates(piece)) {
        encodeValid(piece);
        return;
    }
    // A lone surrogate becomes '?', as QString::toUtf8() has always made it
    // (the encoder would write U+FFFD).
    qsizetype from = 0;
    for (qsizetype i = 0; i < piece.size(); ++i) {
        if (!piece[i].isSurrogate())
            continue;
        if (piece[i].isHighSurrogate() && i + 1 < piece.size() && piece[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        encodeValid(piece.mid(from, i - from));
        encodeValid(u"?");
        from = i + 1;
    }
    encodeValid(piece.mid(from));
}

bool SlicedText::hasSurrogates(QStringView piece)
{
    // One pass without branches, which the compiler does many characters at a time.
    char16_t any = 0;
    for (const QChar c : piece)
        any |= char16_t((c.unicode() & 0xF800) == 0xD800);
    return any != 0;
}

void SlicedText::encodeValid(QStringView piece)
{
    if (piece.isEmpty())
        return;
    char *end = m_encoder.appendToBuffer(m_bytes.data() + m_used, piece);
    m_used = end - m_bytes.constData();
}

void SlicedText::finish()
{
    if (!m_pendingHigh.isNull()) { // a lone one at the very end
        const QChar lone = m_pendingHigh;
        m_pendingHigh = QChar();
        makeRoom(m_encoder.requiredSpace(1));
        encode(QStringView(&lone, 1));
        m_bytes.resize(m_used);
    }
    m_bytes.squeeze();
    m_string.squeeze();
    m_ready = true;
    m_slices.stop();
    for (QEventLoop *loop : m_waiting)
        loop->quit();
}

void SlicedText::letGoWhenUnused()
{
    const bool sharedWithOthers = m_form == Form::Utf8 ? !m_bytes.isDetached() : !m_string.isDetached();
    if (m_waiting.empty() && m_streams == 0 && !sharedWithOthers)
        letGo();
}

void SlicedText::letGo()
{
    m_release.stop();
    m_slices.stop();
    m_bytes = QByteArray();
    m_used = 0;
    m_string = QString();
    m_pendingHigh = QChar();
    m_reader = LfBreakReader(m_text);
    m_ready = false;
}

// ---------------------------------------------------------------------------

struct ClipboardText::Shared {
    Rope content;
    qint64 start;
    qint64 length;
    // Made on the first request for each form.
    std::shared_ptr<SlicedText> utf8;
    std::shared_ptr<SlicedText> utf16;

    std::shared_ptr<SlicedText> &form(SlicedText::Form form)
    {
        std::shared_ptr<SlicedText> &text = form == SlicedText::Form::Utf8 ? utf8 : utf16;
        if (!text)
            text = std::make_shared<SlicedText>(content.mid(start, length), form);
        return text;
    }
};

ClipboardText::ClipboardText(const Rope &content, qint64 start, qint64 length)
    : ClipboardText(std::make_shared<Shared>(Shared{content, start, length, nullptr, nullptr}))
{
}

ClipboardText::ClipboardText(std::shared_ptr<Shared> shared)
    : m_shared(std::move(shared))
{
}

ClipboardText::~ClipboardText() = default;

ClipboardText *ClipboardText::sharing(const ClipboardText &other) { return new ClipboardText(other.m_shared); }

bool ClipboardText::offers(const Rope &content, qint64 start, qint64 length) const
{
    // The same content is the same rope, recognised at its root at once;
    // every change of the transcript changes its length.
    return m_shared->start == start && m_shared->length == length && m_shared->content.length() == content.length()
        && m_shared->content.samePrefix(content, content.length());
}

QStringList ClipboardText::formats() const { return {kTextPlain}; }

bool ClipboardText::hasFormat(const QString &mimeType) const { return mimeType == kTextPlain; }

QString ClipboardText::plainText(const Rope &text) { return withLfBreaks(text); }

ClipboardText::Work ClipboardText::work() const
{
    Work sum;
    for (const auto *text : {m_shared->utf8.get(), m_shared->utf16.get()}) {
        if (!text)
            continue;
        sum.builds += text->work().builds;
        sum.slices += text->work().slices;
        sum.largestSlice = std::max(sum.largestSlice, text->work().largestSlice);
    }
    return sum;
}

bool ClipboardText::holdsText() const
{
    return (m_shared->utf8 && m_shared->utf8->holdsText()) || (m_shared->utf16 && m_shared->utf16->holdsText());
}

Rope ClipboardText::copied() const { return m_shared->content.mid(m_shared->start, m_shared->length); }

QVariant ClipboardText::retrieveData(const QString &mimeType, QMetaType type) const
{
    if (mimeType != kTextPlain)
        return QVariant();
    const auto form = type.id() == QMetaType::QByteArray ? SlicedText::Form::Utf8 : SlicedText::Form::Utf16;
    // While the request waits, another copy may take the clipboard and Qt
    // delete this offer: only the text itself, held here, is used after it.
    const std::shared_ptr<SlicedText> text = m_shared->form(form);
    return text->await();
}

QByteArray ClipboardText::utf8() const
{
    const std::shared_ptr<SlicedText> text = m_shared->form(SlicedText::Form::Utf8);
    return text->await().toByteArray();
}

ClipboardText::Stream::Stream(std::shared_ptr<SlicedText> text)
    : m_text(std::move(text))
{
    m_text->holdForStream();
}

ClipboardText::Stream::~Stream() { m_text->letGoOfStream(); }

QByteArrayView ClipboardText::Stream::made() const { return m_text->made(); }

bool ClipboardText::Stream::whole() const { return m_text->isReady(); }

std::unique_ptr<ClipboardText::Stream> ClipboardText::utf8Stream() const
{
    return std::make_unique<Stream>(m_shared->form(SlicedText::Form::Utf8));
}

} // namespace rich_text
