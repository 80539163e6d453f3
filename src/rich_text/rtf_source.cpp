#include "rich_text/rtf_source.h"

#include "rich_text/rtf_writer.h"

#include <algorithm>

namespace rich_text {

// The pieces of paragraphs [0, m_paragraphs) of a document, the last written
// as final. While m_doc is set those paragraphs are as they were when the
// body was made; RtfSource writes the body out (freeze) before they change.
class SourceBody : public GeneratedText {
public:
    SourceBody(const Document &doc, size_t paragraphs, qint64 length)
        : GeneratedText(length)
        , m_doc(&doc)
        , m_paragraphs(paragraphs)
    {
    }
    size_t paragraphs() const { return m_paragraphs; }
    void freeze() const
    {
        characters();
        m_doc = nullptr;
    }

protected:
    Rope make() const override { return rtf_writer::body(*m_doc, m_paragraphs); }

private:
    mutable const Document *m_doc;
    size_t m_paragraphs;
};

RtfSource::RtfSource(const Document &doc)
    : m_doc(doc)
{
    afterReplace();
}

RtfSource::~RtfSource() { beforeReplace(); }

void RtfSource::freezeFrom(size_t from)
{
    m_source = Rope();
    for (const auto &weak : m_live) {
        if (const auto body = weak.lock(); body && body->paragraphs() > from)
            body->freeze();
    }
    std::erase_if(m_live, [from](const std::weak_ptr<const SourceBody> &weak) {
        const auto body = weak.lock();
        return !body || body->paragraphs() > from;
    });
}

void RtfSource::forget(size_t from)
{
    std::erase_if(m_recent, [from](const Recent &r) { return r.paragraph >= from; });
}

// A paragraph's text is read once for its length however often its
// formats change: colouring an entry just appended costs no second reading.
// Text that came as a message's literal is not read at all.
qint64 RtfSource::textLength(size_t paragraph)
{
    for (const Recent &r : m_recent) {
        if (r.paragraph == paragraph)
            return r.textLength;
    }
    const auto k = std::lower_bound(m_known.begin(), m_known.end(), paragraph,
                                    [](const rtf_writer::KnownTextLength &t, size_t p) { return t.paragraph < p; });
    const bool isKnown = k != m_known.end() && k->paragraph == paragraph && k->start == m_doc.paragraphStart(paragraph)
        && k->length == m_doc.paragraphLength(paragraph);
    if (!isKnown)
        m_charactersCounted += m_doc.paragraphLength(paragraph);
    const qint64 length = isKnown ? k->textLength : rtf_writer::textLength(m_doc, paragraph);
    if (m_recent.size() >= kRecent)
        m_recent.erase(m_recent.begin());
    m_recent.push_back(Recent{paragraph, length});
    return length;
}

qint64 RtfSource::piecesLength(size_t first, size_t last)
{
    qint64 sum = 0;
    const size_t count = m_doc.paragraphCount();
    for (size_t i = first; i <= last && i < count; ++i)
        sum += rtf_writer::paragraphLength(m_doc, i, i + 1 == count, textLength(i));
    return sum;
}

void RtfSource::beforeReplace() { freezeFrom(0); }

void RtfSource::afterReplace()
{
    m_recent.clear();
    m_known.clear();
    m_headerStale = true;
    m_bodyLength = piecesLength(0, m_doc.paragraphCount() - 1);
}

// A piece also depends on the previous paragraph's mark.
void RtfSource::beforeChange(size_t first, size_t last)
{
    freezeFrom(first);
    m_bodyLength -= piecesLength(first, last + 1);
}

void RtfSource::afterChange(size_t first, size_t last) { m_bodyLength += piecesLength(first, last + 1); }

// Sources handed out stay valid: the paragraphs they hold keep their pieces.
// The last paragraph's length is kept for after: an append that starts a new
// paragraph after it leaves its text as it is.
void RtfSource::beforeAppend()
{
    m_source = Rope();
    const size_t last = m_doc.paragraphCount() - 1;
    m_bodyLength -= piecesLength(last, last);
    m_lastBeforeAppend
        = rtf_writer::KnownTextLength{last, m_doc.paragraphStart(last), m_doc.paragraphLength(last), textLength(last)};
}

void RtfSource::afterAppend(size_t oldCount, std::vector<rtf_writer::KnownTextLength> known)
{
    forget(oldCount); // an index past the old ones may have been given up and used again
    known.insert(known.begin(), m_lastBeforeAppend);
    m_known = std::move(known);
    m_bodyLength += piecesLength(oldCount - 1, m_doc.paragraphCount() - 1);
}

void RtfSource::tablesChanged()
{
    m_headerStale = true;
    m_source = Rope();
}

const Rope &RtfSource::source() const
{
    if (m_source.isEmpty()) {
        if (m_headerStale) {
            m_header = rtf_writer::header(m_doc);
            m_headerStale = false;
        }
        std::erase_if(m_live, [](const std::weak_ptr<const SourceBody> &weak) { return weak.expired(); });
        auto body = std::make_shared<const SourceBody>(m_doc, m_doc.paragraphCount(), m_bodyLength);
        m_live.push_back(body);
        m_source
            = Rope::fromLatin1(m_header) + Rope::generated(std::move(body)) + Rope::fromLatin1(rtf_writer::kClosing);
    }
    return m_source;
}

qint64 RtfSource::closingBrace() const { return source().length() - rtf_writer::kClosingLength; }

bool RtfSource::isExtendedBy(const Rope &rtf, qint64 *charsCompared) const
{
    *charsCompared = 0;
    return source().samePrefix(rtf, closingBrace(), charsCompared);
}

} // namespace rich_text
