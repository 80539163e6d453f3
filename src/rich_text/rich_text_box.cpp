#include "rich_text/rich_text_box.h"

#include <QEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace rich_text {

namespace {

quint32 swapRedBlue(quint32 c)
{
    return (c & 0x0000FF) << 16 | (c & 0x00FF00) | (c & 0xFF0000) >> 16;
}

qint32 clampToInt32(qint64 v)
{
    return qint32(std::clamp<qint64>(v, 0, std::numeric_limits<qint32>::max()));
}

// Line breaks inside a paragraph become Qt's line separator. QTextDocument
// also takes U+2029 and its frame markers U+FDD0/U+FDD1 as block boundaries;
// shown as they are they would split the view's paragraphs from the model's,
// so they get a one-character look-alike or the replacement character.
QString displayText(QStringView text)
{
    QString out = text.toString();
    for (QChar& c : out) {
        switch (c.unicode()) {
        case u'\r':
        case u'\n':
        case QChar::ParagraphSeparator:
            c = QChar::LineSeparator;
            break;
        case 0xFDD0:
        case 0xFDD1:
            c = QChar::ReplacementCharacter;
            break;
        default:
            break;
        }
    }
    return out;
}

}  // namespace

// The inner QTextEdit: copies the model's own plain text and shows the
// selection only while it has the focus, as classic controls do.
class TranscriptEdit : public QTextEdit {
public:
    explicit TranscriptEdit(RichTextBox* owner) : QTextEdit(owner), m_owner(owner) {}

protected:
    QMimeData* createMimeDataFromSelection() const override
    {
        const QTextCursor c = textCursor();
        const qint64 a = m_owner->m_model.selStart();
        auto* mime = new QMimeData;
        if (c.hasSelection())
            mime->setText(m_owner->m_model.text().mid(a, m_owner->m_model.selLength()).toString());
        return mime;
    }
    void focusInEvent(QFocusEvent* e) override
    {
        QTextEdit::focusInEvent(e);
        m_owner->showSelection();
    }
    void focusOutEvent(QFocusEvent* e) override
    {
        QTextEdit::focusOutEvent(e);
        m_owner->showSelection();
    }

private:
    RichTextBox* m_owner;
};

RichTextBox::RichTextBox(QWidget* parent) : QWidget(parent), m_edit(new TranscriptEdit(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_edit);
    setFocusProxy(m_edit);
    m_edit->setReadOnly(true);
    m_edit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_edit->setUndoRedoEnabled(false);
    m_edit->setAcceptRichText(false);
    m_model.setDefaultFontName(font().family());
    m_model.setChangeHandler([this] { scheduleUpdate(); });
    connect(m_edit, &QTextEdit::selectionChanged, this, [this] { takeSelectionFromEditor(); });
    connect(m_edit, &QTextEdit::cursorPositionChanged, this, [this] { takeSelectionFromEditor(); });
    connect(m_edit->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this](int, int max) {
        if (m_followEnd)
            m_edit->verticalScrollBar()->setValue(max);
    });
    connect(m_edit->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        m_followEnd = value == m_edit->verticalScrollBar()->maximum();
    });
}

RichTextBox::~RichTextBox()
{
    // The editor reports focus changes while it is destroyed; it must go
    // before the model does.
    m_model.setChangeHandler(nullptr);
    delete m_edit;
    m_edit = nullptr;
}

QTextEdit* RichTextBox::editor() const { return m_edit; }

qint32 RichTextBox::selStart() const { return clampToInt32(m_model.selStart()); }
qint32 RichTextBox::selLength() const { return clampToInt32(m_model.selLength()); }

void RichTextBox::setSelColor(quint32 bgr) { m_model.setSelColor(swapRedBlue(bgr)); }

quint32 RichTextBox::colorAt(qint64 pos) { return swapRedBlue(m_model.colorAt(pos).value_or(0)); }

void RichTextBox::setBackgroundColor(const QColor& color)
{
    QPalette p = m_edit->palette();
    p.setColor(QPalette::Base, color);
    m_edit->setPalette(p);
}

void RichTextBox::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange)
        m_model.setDefaultFontName(font().family());
    QWidget::changeEvent(event);
}

void RichTextBox::scheduleUpdate()
{
    if (m_syncing || m_updateQueued)
        return;
    m_updateQueued = true;
    QTimer::singleShot(0, this, [this] { updateView(); });
}

void RichTextBox::updateView()
{
    m_updateQueued = false;
    const size_t shownBefore = size_t(m_edit->document()->blockCount());
    const std::optional<size_t> changedFrom = m_model.takeChangedFrom();
    if (changedFrom)
        renderParagraphsFrom(*changedFrom);
    showSelection();
    if (changedFrom && m_model.paragraphCount() > shownBefore) {
        m_followEnd = true;
        m_edit->verticalScrollBar()->setValue(m_edit->verticalScrollBar()->maximum());
    }
}

void RichTextBox::renderParagraphsFrom(size_t first)
{
    QTextDocument* doc = m_edit->document();
    const Document& model = m_model.document();
    m_syncing = true;
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    const QTextBlock block = doc->findBlockByNumber(int(first));
    if (block.isValid()) {
        cursor.setPosition(first == 0 ? 0 : block.position() - 1);
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    } else {
        cursor.movePosition(QTextCursor::End);
    }
    const QColor textColor = m_edit->palette().color(QPalette::Text);
    for (size_t i = first; i < model.paragraphs.size(); ++i) {
        const Paragraph& p = model.paragraphs[i];
        if (i > 0)
            cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
        qint64 offset = 0;
        for (const Span& span : p.spans) {
            QTextCharFormat f;
            f.setForeground(span.format.color ? QColor::fromRgb(QRgb(*span.format.color)) : textColor);
            if (span.format.bold)
                f.setFontWeight(QFont::Bold);
            if (span.format.italic)
                f.setFontItalic(true);
            if (span.format.underline)
                f.setFontUnderline(true);
            if (span.format.sizeHalfPoints != Document::defaultFormat().sizeHalfPoints)
                f.setFontPointSize(span.format.sizeHalfPoints / 2.0);
            cursor.insertText(displayText(QStringView(p.text).mid(offset, span.length)), f);
            offset += span.length;
        }
    }
    cursor.endEditBlock();
    m_syncing = false;
}

// Mirrors the model's selection in the editor; without the focus only the
// caret is placed, so no selection is painted.
void RichTextBox::showSelection()
{
    if (!m_edit)
        return;
    QTextDocument* doc = m_edit->document();
    auto toEditor = [this, doc](qint64 pos) {
        const TextModel::Location at = m_model.locate(pos);
        const QTextBlock block = doc->findBlockByNumber(int(at.paragraph));
        if (!block.isValid())
            return doc->characterCount() - 1;
        const int length = block.length() - 1;
        if (at.offset <= length)
            return block.position() + int(at.offset);
        return block.position() + length + int(at.offset - length > 1 ? 1 : 0);
    };
    const qint64 start = m_model.selStart();
    const qint64 end = start + m_model.selLength();
    QTextCursor c(doc);
    if (m_edit->hasFocus()) {
        c.setPosition(toEditor(start));
        c.setPosition(toEditor(end), QTextCursor::KeepAnchor);
    } else {
        c.setPosition(toEditor(end));
    }
    const QTextCursor current = m_edit->textCursor();
    if (current.anchor() == c.anchor() && current.position() == c.position())
        return;
    m_syncing = true;
    const int scroll = m_edit->verticalScrollBar()->value();
    m_edit->setTextCursor(c);
    m_edit->verticalScrollBar()->setValue(scroll);
    m_syncing = false;
}

void RichTextBox::takeSelectionFromEditor()
{
    if (m_syncing || !m_edit->hasFocus())
        return;
    QTextDocument* doc = m_edit->document();
    auto toModel = [this, doc](int pos) -> qint64 {
        const QTextBlock block = doc->findBlock(pos);
        if (!block.isValid() || size_t(block.blockNumber()) >= m_model.paragraphCount())
            return m_model.length();          // the view is behind; settled by the next update
        return m_model.paragraphStart(size_t(block.blockNumber())) + (pos - block.position());
    };
    const QTextCursor c = m_edit->textCursor();
    const qint64 start = toModel(c.selectionStart());
    const qint64 end = toModel(c.selectionEnd());
    m_syncing = true;
    m_model.setSelection(start, end - start);
    m_syncing = false;
}

}  // namespace rich_text
