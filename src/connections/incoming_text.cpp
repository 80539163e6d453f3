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

// Nothing but continuation bytes come before `at` in `bytes`.
bool onlyContinuationsBefore(QByteArrayView bytes, qsizetype at)
{
    for (qsizetype k = 0; k < at; ++k) {
        if (!isContinuation(static_cast<unsigned char>(bytes[k])))
            return false;
    }
    return true;
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
    QByteArray joined;
    if (!m_pending.isEmpty()) {
        joined = m_pending + bytes.toByteArray();
        bytes = joined;
        m_pending.clear();
    }
    // Valid UTF-8 throughout, as a flood of text is, decodes the one way it
    // can; Qt does it much faster than the loop below.
    if (bytes.isValidUtf8()) {
        if (!m_shownUtf8)
            m_shownUtf8 = std::any_of(bytes.begin(), bytes.end(), [](char b) { return uchar(b) >= 0x80; });
        return QString::fromUtf8(bytes);
    }
    QString text;
    text.reserve(bytes.size());
    qsizetype i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            text.append(QChar(b));
            ++i;
            continue;
        }
        const int length = sequenceLength(b);
        const Sequence kind = length ? classify(bytes, i, length) : Sequence::Invalid;
        if (kind == Sequence::Truncated && (moreWaiting || m_shownUtf8)) {
            m_pending = bytes.sliced(i).toByteArray();
            break;
        }
        if (kind != Sequence::Complete) {
            if (kind == Sequence::Invalid && (!isContinuation(b) || !onlyContinuationsBefore(bytes, i)))
                m_shownWindows1252 = true;
            text.append(QChar(windows1252ToUnicode(b)));
            ++i;
            continue;
        }
        m_shownUtf8 = true;
        const char32_t cp = codePoint(bytes, i, length);
        if (QChar::requiresSurrogates(cp)) {
            text.append(QChar(QChar::highSurrogate(cp)));
            text.append(QChar(QChar::lowSurrogate(cp)));
        } else {
            text.append(QChar(char16_t(cp)));
        }
        i += length;
    }
    return text;
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
