#pragma once

#include "rich_text/rope.h"
#include "rich_text/text_model.h"

#include <QColor>
#include <QWidget>

class QTextEdit;

namespace rich_text {

class TranscriptEdit;

// A read-only rich-text control: the user can select and copy, the program
// changes the content through the members below. Colours are given and
// returned as 0xBBGGRR like the classic controls.
//
// Changes are shown once the current event handler has returned: the view
// then re-lays out only the paragraphs added or changed since its last update
// and scrolls to the end when paragraphs were added.
class RichTextBox : public QWidget {
    Q_OBJECT
public:
    explicit RichTextBox(QWidget* parent = nullptr);
    ~RichTextBox() override;

    Rope text() const { return m_model.text(); }
    void setText(const Rope& plain) { m_model.setText(plain); }
    Rope textRtf() { return m_model.textRtf(); }
    void setTextRtf(const Rope& rtf) { m_model.setTextRtf(rtf); }

    qint32 selStart() const;
    void setSelStart(qint32 start) { m_model.setSelStart(start); }
    qint32 selLength() const;
    void setSelLength(qint32 length) { m_model.setSelLength(length); }
    void setSelColor(quint32 bgr);
    quint32 colorAt(qint64 pos);        // 0xBBGGRR; default text is 0 (black)

    void setBackgroundColor(const QColor& color);
    QString plainText() const { return text().toString(); }

    TextModel& model() { return m_model; }
    QTextEdit* editor() const;          // the inner view, for tests
    bool updatePending() const { return m_updateQueued; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void scheduleUpdate();
    void updateView();
    void renderParagraphsFrom(size_t first);
    void showSelection();
    void takeSelectionFromEditor();
    friend class TranscriptEdit;

    TextModel m_model;
    TranscriptEdit* m_edit = nullptr;
    bool m_updateQueued = false;
    bool m_syncing = false;
    bool m_followEnd = false;
};

}  // namespace rich_text
