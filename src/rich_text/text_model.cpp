#include "rich_text/text_model.h"

#include "rich_text/rtf_reader.h"
#include "rich_text/rtf_writer.h"

#include <algorithm>
#include <utility>

namespace rich_text {

TextModel::TextModel(const QString &defaultFontName, std::shared_ptr<TextMemory> memory)
    : m_defaultFontName(defaultFontName)
    , m_memory(std::move(memory))
{
    replaceDocument(Document::empty(defaultFontName));
    m_viewChangedFrom.reset();
}

void TextModel::setText(const Rope &plain)
{
    m_pendingPlain = plain;
    clampSelection();
    notify();
}

void TextModel::load()
{
    if (!m_pendingPlain)
        return;
    const Rope plain = *m_pendingPlain;
    m_pendingPlain.reset();
    replaceDocument(Document::fromPlain(plain, m_defaultFontName));
    notify();
}

const Rope &TextModel::textRtf() const
{
    Q_ASSERT(isLoaded());
    return m_source.source();
}

const Document &TextModel::document() const
{
    Q_ASSERT(isLoaded());
    return m_doc;
}

Color TextModel::colorAt(qint64 pos) const { return document().formatAtPosition(pos).color; }

TextModel::Location TextModel::locate(qint64 pos) const
{
    const size_t paragraph = document().paragraphAt(pos);
    return Location{paragraph, pos - m_doc.paragraphStart(paragraph)};
}

void TextModel::setTextRtf(const Rope &rtf)
{
    // RTF that extends the source of the document still held (also while
    // plain text is pending) reads the same as that document plus its tail.
    qint64 compared = 0;
    const bool extendsSource = m_source.isExtendedBy(rtf, &compared);
    m_lastLoad = LoadReport{extendsSource, compared};
    m_pendingPlain.reset();
    if (extendsSource)
        m_lastLoad.charsParsed = appendFrom(rtf);
    else
        replaceDocument(RtfReader::read(rtf, m_defaultFontName));
    clampSelection();
    notify();
}

qint64 TextModel::appendFrom(const Rope &rtf)
{
    const size_t oldCount = m_doc.paragraphCount();
    const size_t oldColors = m_doc.colors().size();
    const size_t oldFonts = m_doc.fonts().size();
    const qint64 from = m_source.closingBrace();
    m_source.beforeAppend();
    RtfReader reader = RtfReader::resumeAfterFinalParagraph(m_doc, m_defaultFontName);
    reader.feed(rtf, from);
    reader.finish();
    m_source.afterAppend(oldCount, reader.takeKnownTextLengths());
    if (m_doc.colors().size() != oldColors || m_doc.fonts().size() != oldFonts)
        m_source.tablesChanged();
    if (m_doc.paragraphCount() != oldCount)
        contentChanged(oldCount);
    return reader.charactersParsed();
}

void TextModel::replaceDocument(Document &&doc)
{
    m_source.beforeReplace();
    doc.keepIn(m_memory);
    m_doc = std::move(doc);
    m_source.afterReplace();
    contentChanged(0);
}

void TextModel::contentChanged(size_t firstParagraph)
{
    m_viewChangedFrom = std::min(m_viewChangedFrom.value_or(firstParagraph), firstParagraph);
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
    load();
    if (m_selLength <= 0)
        return;
    const Color color = rgb & 0xFFFFFF;
    if (m_doc.colorIndex(color) < 0) {
        m_doc.ensureColor(color);
        m_source.tablesChanged();
    }
    const auto range = m_doc.colorRange(m_selStart, m_selStart + m_selLength);
    if (range)
        m_source.beforeChange(range->first, range->second);
    m_doc.setColor(m_selStart, m_selStart + m_selLength, color);
    if (range) {
        m_source.afterChange(range->first, range->second);
        contentChanged(range->first);
    }
    notify();
}

void TextModel::setDefaultFontName(const QString &name)
{
    m_defaultFontName = name;
    const bool pristine = isLoaded() && m_doc.plainLength() == 0 && m_doc.fonts().size() == 1;
    if (pristine && m_doc.fonts().front().name != name) {
        m_doc.renameFont(0, name);
        m_source.tablesChanged();
    }
}

bool TextModel::trySpill() { return !isLoaded() || m_doc.spillOldText(); }

void TextModel::notify()
{
    const Change change{std::exchange(m_viewChangedFrom, std::nullopt)};
    if (m_onChange)
        m_onChange(change);
}

} // namespace rich_text
