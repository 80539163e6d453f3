#include "connections/incoming_text.h"

#include "code_page/windows1252.h"

#include <algorithm>

namespace connections {

namespace {

using code_page::windows1252ToUnicode;

int sequenceLength(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// The second byte is narrower than 80..BF after some leads: this rules out
// overlong forms, surrogates and code points beyond U+10FFFF.
bool validSecond(unsigned char lead, unsigned char b)
{
    switch (lead) {
    case 0xE0:
        return b >= 0xA0 && b <= 0xBF;
    case 0xED:
        return b >= 0x80 && b <= 0x9F;
    case 0xF0:
        return b >= 0x90 && b <= 0xBF;
    case 0xF4:
        return b >= 0x80 && b <= 0x8F;
    default:
        return b >= 0x80 && b <= 0xBF;
    }
}

bool isContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

enum class Sequence { Complete, Truncated, Invalid };

// Looks at the UTF-8 sequence starting at `at`.
Sequence classify(QByteArrayView bytes, qsizetype at, int length)
{
    const auto lead = static_cast<unsigned char>(bytes[at]);
    for (int k = 1; k < length; ++k) {
        if (at + k >= bytes.size())
            return Sequence::Truncated;
        const auto b = static_cast<unsigned char>(bytes[at + k]);
        const bool ok = (k == 1) ? validSecond(lead, b) : isContinuation(b);
        if (!ok)
            return Sequence::Invalid;
    }
    return Sequence::Complete;
}

// The bits of a lead byte that belong to the code point, by sequence length.
constexpr unsigned char kLeadMask[5] = {0, 0, 0x1F, 0x0F, 0x07};

char32_t codePoint(QByteArrayView bytes, qsizetype at, int length)
{
    char32_t cp = static_cast<unsigned char>(bytes[at]) & kLeadMask[length];
    for (int k = 1; k < length; ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(bytes[at + k]) & 0x3F);
    return cp;
}

} // namespace

QString IncomingText::decode(QByteArrayView bytes, bool moreWaiting)
{
    const bool afterHeld = !m_pending.isEmpty();
    QString text = afterHeld ? finishHeld(bytes, moreWaiting) : QString();
    if (!m_pending.isEmpty())
        return text; // the read was too short to finish it
    // Valid UTF-8 throughout, as a flood of text is, decodes the one way it
    // can. A read that a full buffer cut inside a character is that too, but
    // for its last bytes.
    const qsizetype cut = openCharacterLength(bytes);
    QString utf8;
    if (!decodeUtf8(bytes.first(bytes.size() - cut), utf8))
        return text + decodeMixed(bytes, moreWaiting, afterHeld);
    text = text.isEmpty() ? std::move(utf8) : text + utf8;
    if (cut > 0)
        text += decodeMixed(bytes.last(cut), moreWaiting, true);
    return text;
}

// The characters that start in the held bytes, which end within three bytes
// of `bytes`; those bytes are taken off `bytes`.
QString IncomingText::finishHeld(QByteArrayView &bytes, bool moreWaiting)
{
    const qsizetype held = m_pending.size();
    const qsizetype taken = std::min<qsizetype>(bytes.size(), 3);
    const QByteArray seam = m_pending + bytes.first(taken).toByteArray();
    m_pending.clear();
    char16_t units[8];
    char16_t *out = units;
    qsizetype i = 0;
    bool afterText = false;
    while (i < held && decodeCharacter(seam, i, moreWaiting, out, afterText)) { }
    bytes = m_pending.isEmpty() ? bytes.sliced(i - held) : QByteArrayView();
    return QString::fromUtf16(units, out - units);
}

// Into `text`; false when `bytes` are not all valid UTF-8. Qt's decoder is
// the fast one, and where bytes are not UTF-8 it puts U+FFFD: only then is
// there more to check.
bool IncomingText::decodeUtf8(QByteArrayView bytes, QString &text)
{
    text = QString::fromUtf8(bytes);
    if (text.contains(QChar::ReplacementCharacter) && !bytes.isValidUtf8())
        return false;
    // Only characters of two bytes or more make the text shorter.
    m_shownUtf8 = m_shownUtf8 || text.size() != bytes.size();
    return true;
}

// UTF-8 where it is valid, Windows-1252 for each byte where it is not.
// `afterText`: a character of the read comes before `bytes`.
QString IncomingText::decodeMixed(QByteArrayView bytes, bool moreWaiting, bool afterText)
{
    QString text(bytes.size(), Qt::Uninitialized); // never more units than bytes
    char16_t *const start = reinterpret_cast<char16_t *>(text.data());
    char16_t *out = start;
    qsizetype i = 0;
    while (i < bytes.size() && decodeCharacter(bytes, i, moreWaiting, out, afterText)) { }
    text.truncate(out - start);
    return text;
}

// The character at `i` into `out`, both moved past it; false when it is the
// start of one cut by the end of `bytes` and is held for the rest.
// `afterText` becomes true once a byte other than a continuation has come.
bool IncomingText::decodeCharacter(QByteArrayView bytes, qsizetype &i, bool moreWaiting, char16_t *&out,
                                   bool &afterText)
{
    const qsizetype from = i;
    const bool decoded = decodeCharacterAt(bytes, i, moreWaiting, out, afterText);
    afterText = afterText || !isContinuation(static_cast<unsigned char>(bytes[from]));
    m_bytesOneByOne += i - from;
    return decoded;
}

bool IncomingText::decodeCharacterAt(QByteArrayView bytes, qsizetype &i, bool moreWaiting, char16_t *&out,
                                     bool afterText)
{
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
        *out++ = b;
        ++i;
        return true;
    }
    const int length = sequenceLength(b);
    const Sequence kind = length ? classify(bytes, i, length) : Sequence::Invalid;
    if (kind == Sequence::Truncated && (moreWaiting || m_shownUtf8)) {
        m_pending = bytes.sliced(i).toByteArray();
        i = bytes.size();
        return false;
    }
    if (kind != Sequence::Complete) {
        if (kind == Sequence::Invalid && (!isContinuation(b) || afterText))
            m_shownWindows1252 = true;
        *out++ = windows1252ToUnicode(b);
        ++i;
        return true;
    }
    m_shownUtf8 = true;
    const char32_t cp = codePoint(bytes, i, length);
    if (QChar::requiresSurrogates(cp)) {
        *out++ = QChar::highSurrogate(cp);
        *out++ = QChar::lowSurrogate(cp);
    } else {
        *out++ = char16_t(cp);
    }
    i += length;
    return true;
}

// How many of the last bytes start a character that the read cut: a lead
// byte followed by fewer continuation bytes than it announces.
qsizetype IncomingText::openCharacterLength(QByteArrayView bytes)
{
    for (qsizetype at = bytes.size() - 1; at >= 0 && at >= bytes.size() - 3; --at) {
        const auto b = static_cast<unsigned char>(bytes[at]);
        if (const int length = sequenceLength(b))
            return at + length > bytes.size() && classify(bytes, at, length) == Sequence::Truncated ? bytes.size() - at
                                                                                                    : 0;
        if (!isContinuation(b))
            return 0;
    }
    return 0;
}

bool IncomingText::mayEndInsideACharacter(QByteArrayView more) const
{
    // A character is at most four bytes: three before the end say it all.
    const QByteArray joined = more.size() < 3 && !m_pending.isEmpty() ? m_pending + more.toByteArray() : QByteArray();
    const QByteArrayView bytes = joined.isEmpty() ? more : QByteArrayView(joined);
    for (qsizetype at = bytes.size() - 1; at >= 0 && at >= bytes.size() - 3; --at) {
        const auto b = static_cast<unsigned char>(bytes[at]);
        if (const int length = sequenceLength(b))
            return at + length > bytes.size();
        if (!isContinuation(b))
            return false;
    }
    return false;
}

bool IncomingText::onlyStartsACharacter(QByteArrayView more) const
{
    if (more.isEmpty() || (m_pending.isEmpty() && !m_shownUtf8))
        return false;
    const QByteArray joined = m_pending + more.toByteArray();
    const int length = sequenceLength(static_cast<unsigned char>(joined[0]));
    return length > joined.size() && classify(joined, 0, length) == Sequence::Truncated;
}

bool IncomingText::endsInOpenCharacter(QByteArrayView bytes) const
{
    if (m_shownUtf8 || m_shownWindows1252 || !m_pending.isEmpty())
        return false;
    // A lead byte is never a continuation byte, so the last lead among the
    // final three bytes starts the only sequence that can be cut at the end.
    for (qsizetype at = bytes.size() - 1; at >= 0 && at >= bytes.size() - 3; --at) {
        const int length = sequenceLength(static_cast<unsigned char>(bytes[at]));
        if (length)
            return classify(bytes, at, length) == Sequence::Truncated;
        if (!isContinuation(static_cast<unsigned char>(bytes[at])))
            return false;
    }
    return false;
}

QString IncomingText::flush()
{
    QString text;
    for (char c : std::as_const(m_pending))
        text.append(QChar(windows1252ToUnicode(static_cast<unsigned char>(c))));
    m_pending.clear();
    return text;
}

} // namespace connections
