#include "rich_text/rtf_source.h"

#include "rich_text/rtf_writer.h"

#include <algorithm>

namespace rich_text {

void RtfSource::documentReplaced()
{
    m_body = Rope();
    m_pieceEnd.clear();
    m_hasStale = false;
    m_headerStale = true;
}

void RtfSource::paragraphsChanged(size_t first, size_t last)
{
    m_staleFirst = m_hasStale ? std::min(m_staleFirst, first) : first;
    m_staleLast = m_hasStale ? std::max(m_staleLast, last) : last;
    m_hasStale = true;
}

void RtfSource::refresh(const Document &doc)
{
    const size_t count = doc.paragraphCount();
    const size_t written = m_pieceEnd.size();
    // A piece depends on the previous paragraph's mark; the former last
    // paragraph's mark stops being the final one when paragraphs are added,
    // and paragraphs that are gone take their pieces with them.
    if (written != count)
        paragraphsChanged(written == 0 ? 0 : std::min(written, count) - 1, count - 1);
    if (m_hasStale) {
        // The piece after a changed one starts from the changed mark's format.
        const size_t first = std::min(m_staleFirst, count - 1);
        const size_t last = std::min(m_staleLast + 1, count - 1);
        const qint64 cutStart = first == 0 ? 0 : m_pieceEnd[first - 1];
        const qint64 cutEnd = written == count ? m_pieceEnd[last] : m_body.length();
        // The text of all these paragraphs is taken out of the rope at once.
        const qint64 textFrom = doc.paragraphStart(first);
        const QString text
            = doc.text().mid(textFrom, doc.paragraphStart(last) + doc.paragraphLength(last) - textFrom).toString();
        // The last paragraph's piece is the one the next append rewrites: it
        // gets storage of its own, so that cutting it off frees all of it.
        QByteArray pieces, lastPiece;
        std::vector<qint64> newEnds;
        qint64 end = cutStart;
        for (size_t i = first; i <= last; ++i) {
            const QStringView own = QStringView(text).mid(doc.paragraphStart(i) - textFrom, doc.paragraphLength(i));
            QByteArray &out = i + 1 == count ? lastPiece : pieces;
            const QByteArray piece = rtf_writer::paragraph(doc, i, own);
            out += piece;
            end += piece.size();
            newEnds.push_back(end);
        }
        const qint64 delta = end - cutEnd;
        m_body = m_body.left(cutStart) + Rope::fromLatin1(pieces) + Rope::fromLatin1(lastPiece) + m_body.mid(cutEnd);
        m_pieceEnd.resize(count);
        std::copy(newEnds.begin(), newEnds.end(), m_pieceEnd.begin() + qsizetype(first));
        for (size_t i = last + 1; i < count; ++i)
            m_pieceEnd[i] += delta;
        m_hasStale = false;
    }
    if (m_headerStale) {
        m_header = rtf_writer::header(doc);
        m_headerStale = false;
    }
    m_source = Rope::fromLatin1(m_header) + m_body + Rope::fromLatin1(rtf_writer::kClosing);
}

qint64 RtfSource::closingBrace() const { return m_source.length() - rtf_writer::kClosingLength; }

bool RtfSource::isExtendedBy(const Rope &rtf, qint64 *charsCompared) const
{
    *charsCompared = 0;
    return !m_source.isEmpty() && m_source.samePrefix(rtf, closingBrace(), charsCompared);
}

} // namespace rich_text
