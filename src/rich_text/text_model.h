#pragma once

#include "rich_text/document.h"
#include "rich_text/rope.h"

#include <functional>
#include <optional>
#include <vector>

namespace rich_text {

// The content and selection of a rich-text control, without any widget.
//
// Two views of the content are kept up to date incrementally: text() (plain
// text, paragraphs joined by CR LF) and textRtf() (the RTF source). Both are
// ropes, so reading them costs O(1) and cutting/extending them O(log n).
//
// setText() only stores the rope; paragraphs are built from it when someone
// needs the structure. setTextRtf() recognises a source that is this model's
// own last textRtf() output, cut before its closing brace and extended: it then
// resumes reading after the final paragraph of the live document and parses
// only what was appended. Anything else is read in full.
class TextModel {
public:
    explicit TextModel(const QString& defaultFontName = QStringLiteral("MS Sans Serif"));

    Rope text() const;
    qint64 length() const;
    void setText(const Rope& plain);

    Rope textRtf();
    void setTextRtf(const Rope& rtf);
    bool lastLoadIncremental() const { return m_lastLoadIncremental; }

    qint64 selStart() const { return m_selStart; }
    qint64 selLength() const { return m_selLength; }
    void setSelStart(qint64 start);           // collapses the selection, clamped
    void setSelLength(qint64 length);         // clamped to the end
    void setSelection(qint64 start, qint64 length);
    void setSelColor(quint32 rgb);            // 0xRRGGBB
    Color colorAt(qint64 pos);                // format of the character at pos

    const Document& document();
    size_t paragraphCount();
    qint64 paragraphStart(size_t index);
    struct Location {
        size_t paragraph;
        qint64 offset;       // may be length() or length()+1: inside the break
    };
    Location locate(qint64 pos);

    void setDefaultFontName(const QString& name);
    // Called after every change of content or selection.
    void setChangeHandler(std::function<void()> handler) { m_onChange = std::move(handler); }
    // First paragraph changed since the last call, if any; resets the mark.
    std::optional<size_t> takeChangedFrom();

private:
    void materialize();
    void replaceDocument(Document&& doc, std::optional<Rope> knownText);
    void appendParagraphsFrom(size_t first);
    void resume(const Rope& rtf);
    void refreshSource();
    // Paragraphs first..last must be written again; the view must show them
    // again from `shownFrom` on (a paragraph mark's format is not drawn).
    void markChanged(size_t first, size_t last, std::optional<size_t> shownFrom);
    void clampSelection();
    void notify();

    QString m_defaultFontName;
    Document m_doc;
    std::optional<Rope> m_pendingPlain;   // when set, the content is this plain text
    quint64 m_revision = 0;               // of m_doc

    Rope m_text;
    std::vector<qint64> m_paragraphStart;

    // RTF source: header + one piece per paragraph + closing.
    QString m_header;
    bool m_headerDirty = true;
    Rope m_body;
    std::vector<qint64> m_pieceEnd;       // end of each written paragraph piece in m_body
    size_t m_dirtyFirst = 0;              // paragraphs whose pieces must be rewritten
    size_t m_dirtyLast = 0;
    bool m_hasDirty = false;
    Rope m_source;
    quint64 m_sourceRevision = ~quint64(0);

    qint64 m_selStart = 0;
    qint64 m_selLength = 0;

    std::optional<size_t> m_viewChangedFrom;
    bool m_lastLoadIncremental = false;
    std::function<void()> m_onChange;
};

}  // namespace rich_text
