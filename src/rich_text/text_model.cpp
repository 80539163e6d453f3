#include "rich_text/text_model.h"

#include "rich_text/rtf_reader.h"
#include "rich_text/rtf_writer.h"

#include <algorithm>

namespace rich_text {

namespace {

constexpr QStringView kBreak = u"\r\n";

// One shared rope for every paragraph break of the plain text.
const Rope& breakRope()
{
    static const Rope instance(kBreak);
    return instance;
}

// Splits plain text into paragraphs at CR LF; lone CR and LF stay in the text.
Document documentFromPlain(const Rope& plain, const QString& fontName)
{
    Document doc;
    QString current;
    bool pendingCr = false;
    auto endParagraph = [&doc, &current] {
        Paragraph p;
        p.append(current, Document::defaultFormat());
        doc.paragraphs.push_back(std::move(p));
        current.clear();
    };
    plain.forEachChunk(0, [&](QStringView chunk) {
        for (const QChar c : chunk) {
            if (pendingCr) {
                pendingCr = false;
                if (c == u'\n') {
                    endParagraph();
                    continue;
                }
                current += u'\r';
            }
            if (c == u'\r')
                pendingCr = true;
            else
                current += c;
        }
        return true;
    });
    if (pendingCr)
        current += u'\r';
    endParagraph();
    doc.normalize(fontName);
    return doc;
}

}  // namespace

TextModel::TextModel(const QString& defaultFontName)
    : m_defaultFontName(defaultFontName)
{
    replaceDocument(Document::empty(defaultFontName), std::nullopt);
    m_viewChangedFrom.reset();
}

Rope TextModel::text() const { return m_pendingPlain ? *m_pendingPlain : m_text; }

qint64 TextModel::length() const { return text().length(); }

void TextModel::setText(const Rope& plain)
{
    m_pendingPlain = plain;
    clampSelection();
    notify();
}

Rope TextModel::textRtf()
{
    materialize();
    refreshSource();
    return m_source;
}

void TextModel::setTextRtf(const Rope& rtf)
{
    const qint64 closingBrace = m_source.length() - rtf_writer::kClosing.size();
    const bool extendsOwnSource = m_sourceRevision == m_revision && m_source.originId() != 0
        && rtf.originId() == m_source.originId() && rtf.sharedPrefix() >= closingBrace;
    m_pendingPlain.reset();
    m_lastLoadIncremental = extendsOwnSource;
    if (extendsOwnSource)
        resume(rtf.mid(closingBrace));
    else
        replaceDocument(RtfReader::read(rtf, m_defaultFontName), std::nullopt);
    clampSelection();
    notify();
}

void TextModel::resume(const Rope& tail)
{
    const size_t oldCount = m_doc.paragraphs.size();
    RtfReader reader = RtfReader::resumeAfterFinalParagraph(std::move(m_doc), m_defaultFontName);
    reader.feed(tail);
    m_doc = reader.finish();
    ++m_revision;
    m_headerDirty = true;   // the appended text may have declared fonts or colours
    if (m_doc.paragraphs.size() > oldCount) {
        appendParagraphsFrom(oldCount);
        // The former last paragraph is unchanged on screen; only its mark
        // stops being the final one, which the source must say.
        markChanged(oldCount - 1, m_doc.paragraphs.size() - 1, oldCount);
    }
}

void TextModel::appendParagraphsFrom(size_t first)
{
    for (size_t i = first; i < m_doc.paragraphs.size(); ++i) {
        // The plain text shares each paragraph's characters instead of
        // copying them; a finished paragraph gives back its spare capacity.
        QString& chars = m_doc.paragraphs[i].text;
        chars.squeeze();
        m_paragraphStart.push_back(m_text.length() + kBreak.size());
        m_text += breakRope();
        m_text += Rope(chars);
    }
}

void TextModel::replaceDocument(Document&& doc, std::optional<Rope> knownText)
{
    m_doc = std::move(doc);
    ++m_revision;
    m_paragraphStart.assign(1, 0);
    m_text = knownText ? *knownText : Rope(m_doc.paragraphs.front().text);
    if (knownText) {
        qint64 start = 0;
        for (size_t i = 1; i < m_doc.paragraphs.size(); ++i) {
            start += m_doc.paragraphs[i - 1].length() + kBreak.size();
            m_paragraphStart.push_back(start);
        }
    } else {
        appendParagraphsFrom(1);
    }
    m_headerDirty = true;
    m_body = Rope();
    m_pieceEnd.clear();
    m_hasDirty = false;
    m_viewChangedFrom = 0;
}

void TextModel::materialize()
{
    if (!m_pendingPlain)
        return;
    const Rope plain = *m_pendingPlain;
    m_pendingPlain.reset();
    replaceDocument(documentFromPlain(plain, m_defaultFontName), plain);
}

void TextModel::markChanged(size_t first, size_t last, std::optional<size_t> shownFrom)
{
    if (!m_hasDirty) {
        m_dirtyFirst = first;
        m_dirtyLast = last;
        m_hasDirty = true;
    } else {
        m_dirtyFirst = std::min(m_dirtyFirst, first);
        m_dirtyLast = std::max(m_dirtyLast, last);
    }
    if (shownFrom)
        m_viewChangedFrom = std::min(m_viewChangedFrom.value_or(*shownFrom), *shownFrom);
}

void TextModel::refreshSource()
{
    if (m_sourceRevision == m_revision && m_source.originId() != 0)
        return;
    const size_t count = m_doc.paragraphs.size();
    const size_t written = m_pieceEnd.size();
    // A piece depends on the previous paragraph's mark, and the former last
    // paragraph's mark stops being the final one when paragraphs are added.
    size_t first = m_hasDirty ? m_dirtyFirst : count;
    size_t last = m_hasDirty ? m_dirtyLast + 1 : 0;
    if (written < count) {
        first = std::min(first, written == 0 ? 0 : written - 1);
        last = count - 1;
    }
    last = std::min(last, count - 1);
    if (first <= last) {
        const qint64 cutStart = first == 0 ? 0 : m_pieceEnd[first - 1];
        const qint64 cutEnd = last < written ? m_pieceEnd[last] : m_body.length();
        Rope pieces;
        std::vector<qint64> newEnds;
        qint64 end = cutStart;
        for (size_t i = first; i <= last; ++i) {
            QString piece = rtf_writer::paragraph(m_doc, i);
            piece.squeeze(); // kept for as long as the paragraph is unchanged
            end += piece.size();
            newEnds.push_back(end);
            pieces += Rope(piece);
        }
        const qint64 delta = end - cutEnd;
        m_body = m_body.left(cutStart) + pieces + m_body.mid(cutEnd);
        m_pieceEnd.resize(count);
        std::copy(newEnds.begin(), newEnds.end(), m_pieceEnd.begin() + qsizetype(first));
        for (size_t i = last + 1; i < count; ++i)
            m_pieceEnd[i] += delta;
    }
    m_hasDirty = false;
    if (m_headerDirty) {
        m_header = rtf_writer::header(m_doc);
        m_headerDirty = false;
    }
    m_source = (Rope(m_header) + m_body + Rope(rtf_writer::kClosing)).stamped();
    m_sourceRevision = m_revision;
}

void TextModel::setSelStart(qint64 start)
{
    m_selStart = std::clamp<qint64>(start, 0, length());
    m_selLength = 0;
    notify();
}

void TextModel::setSelLength(qint64 length)
{
    m_selLength = std::clamp<qint64>(length, 0, this->length() - m_selStart);
    notify();
}

void TextModel::setSelection(qint64 start, qint64 length)
{
    m_selStart = std::clamp<qint64>(start, 0, this->length());
    m_selLength = std::clamp<qint64>(length, 0, this->length() - m_selStart);
    notify();
}

void TextModel::clampSelection()
{
    const qint64 total = length();
    m_selStart = std::clamp<qint64>(m_selStart, 0, total);
    m_selLength = std::clamp<qint64>(m_selLength, 0, total - m_selStart);
}

void TextModel::setSelColor(quint32 rgb)
{
    materialize();
    if (m_selLength <= 0)
        return;
    const Color color = rgb & 0xFFFFFF;
    if (m_doc.colorIndex(color) < 0) {
        m_doc.ensureColor(color);
        m_headerDirty = true;
    }
    const qint64 end = m_selStart + m_selLength;
    const Location from = locate(m_selStart);
    const Location to = locate(end - 1);
    std::optional<size_t> firstShownChange;
    for (size_t i = from.paragraph; i <= to.paragraph; ++i) {
        Paragraph& p = m_doc.paragraphs[i];
        const qint64 start = m_paragraphStart[i];
        if (!firstShownChange && std::max<qint64>(m_selStart - start, 0) < std::min(end - start, p.length()))
            firstShownChange = i;
        p.setColor(m_selStart - start, end - start, color);
        const bool hasMark = i + 1 < m_doc.paragraphs.size();
        if (hasMark && end - start > p.length())
            p.markFormat.color = color;
    }
    ++m_revision;
    markChanged(from.paragraph, to.paragraph, firstShownChange);
    notify();
}

Color TextModel::colorAt(qint64 pos)
{
    materialize();
    if (pos < 0 || pos >= length())
        return Color{};
    const Location at = locate(pos);
    return m_doc.paragraphs[at.paragraph].formatAt(at.offset).color;
}

const Document& TextModel::document()
{
    materialize();
    return m_doc;
}

size_t TextModel::paragraphCount()
{
    materialize();
    return m_doc.paragraphs.size();
}

qint64 TextModel::paragraphStart(size_t index)
{
    materialize();
    return m_paragraphStart[index];
}

TextModel::Location TextModel::locate(qint64 pos)
{
    materialize();
    auto it = std::upper_bound(m_paragraphStart.begin(), m_paragraphStart.end(), pos);
    const size_t index = it == m_paragraphStart.begin() ? 0 : size_t(it - m_paragraphStart.begin() - 1);
    return Location{index, pos - m_paragraphStart[index]};
}

void TextModel::setDefaultFontName(const QString& name)
{
    m_defaultFontName = name;
    const bool pristine = !m_pendingPlain && m_doc.paragraphs.size() == 1
        && m_doc.paragraphs.front().text.isEmpty() && m_doc.fonts.size() == 1;
    if (pristine && m_doc.fonts.front().name != name) {
        m_doc.fonts.front().name = name;
        m_headerDirty = true;
        ++m_revision;
    }
}

std::optional<size_t> TextModel::takeChangedFrom()
{
    materialize();
    std::optional<size_t> from = m_viewChangedFrom;
    m_viewChangedFrom.reset();
    return from;
}

void TextModel::notify()
{
    if (m_onChange)
        m_onChange();
}

}  // namespace rich_text
