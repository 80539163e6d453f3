#pragma once

#include "rich_text/document.h"
#include "rich_text/rope.h"
#include "rich_text/rtf_source.h"
#include "rich_text/text_memory.h"

#include <functional>
#include <optional>

namespace rich_text {

// The content and selection of a rich-text control, without any widget.
//
// The content is set either as plain text or as RTF. Plain text is only
// stored: load() is the explicit step that builds the document from it, and
// the readers of the document and its RTF source expect it done. RTF that
// extends this model's own source (cut before its closing brace, more
// appended) is read incrementally: only what was appended is parsed.
//
// Invariants:
// - When m_pendingPlain is set, the content is that text, and m_doc and
//   m_source are the content before it (kept so that RTF extending that
//   source can still be read incrementally).
// - Otherwise m_doc is the content and m_source follows it: every change of
//   m_doc is told to m_source before and after it happens.
// - 0 <= m_selStart <= length() and 0 <= m_selLength <= length() - m_selStart.
// - m_viewChangedFrom is empty between changes: a mutator sets it to the
//   first paragraph of the document it changed, and its closing notify()
//   hands it to the change handler and empties it.
class TextModel {
public:
    // What one change did, told at once to whoever shows the model.
    struct Change {
        // The document changed from this paragraph on; empty when only the
        // selection changed, or plain text was set and is not loaded yet.
        std::optional<size_t> paragraphsFrom;
    };

    // `memory` keeps the content within its budget (TextMemory).
    explicit TextModel(const QString &defaultFontName = QStringLiteral("MS Sans Serif"),
                       std::shared_ptr<TextMemory> memory = TextMemory::make());

    Rope text() const { return m_pendingPlain ? *m_pendingPlain : m_doc.text(); }
    qint64 length() const { return text().length(); }
    void setText(const Rope &plain);

    bool isLoaded() const { return !m_pendingPlain; }
    void load();

    // These need the content loaded.
    const Rope &textRtf() const;
    const Document &document() const;
    Color colorAt(qint64 pos) const; // format of the character at pos
    struct Location {
        size_t paragraph;
        qint64 offset; // may be its length or length + 1: inside the break
    };
    Location locate(qint64 pos) const;

    void setTextRtf(const Rope &rtf);

    qint64 selStart() const { return m_selStart; }
    qint64 selLength() const { return m_selLength; }
    void setSelStart(qint64 start);   // collapses the selection, clamped
    void setSelLength(qint64 length); // clamped to the end
    void setSelection(qint64 start, qint64 length);
    void setSelColor(quint32 rgb); // 0xRRGGBB

    void setDefaultFontName(const QString &name);

    // The memory the content lives in. While its file takes nothing more
    // (the disk behind, or refusing to write, or no folder for the file),
    // what would go there stays in memory; trySpill() hands over what is
    // due and tells whether all of it went.
    const std::shared_ptr<TextMemory> &memory() const { return m_memory; }
    bool trySpill();
    // Called at the end of every change of content or selection (load()
    // included), before anything else can read the model.
    void setChangeHandler(std::function<void(const Change &)> handler) { m_onChange = std::move(handler); }

private:
    friend struct TextModelTestAccess;
    struct LoadReport {
        bool incremental = false; // the last setTextRtf() parsed only what was appended
        qint64 charsCompared = 0; // characters read to recognise the source
        qint64 charsParsed = 0;   // characters of the tail parsed one by one
    };

    void replaceDocument(Document &&doc);
    qint64 appendFrom(const Rope &rtf); // returns the characters parsed
    void contentChanged(size_t firstParagraph);
    void clampSelection();
    void notify();

    QString m_defaultFontName;
    std::shared_ptr<TextMemory> m_memory;
    Document m_doc;
    RtfSource m_source{m_doc};
    std::optional<Rope> m_pendingPlain;
    qint64 m_selStart = 0;
    qint64 m_selLength = 0;
    std::optional<size_t> m_viewChangedFrom;
    LoadReport m_lastLoad;
    std::function<void(const Change &)> m_onChange;
};

} // namespace rich_text
