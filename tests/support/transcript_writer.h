#pragma once
// Drives a rich-text control, or its model alone, with the chat window's own
// transcript operations.

#include "messages/received_color.h"
#include "rich_text/rope.h"
#include "rich_text/text_model.h"

#include <QString>

#include <type_traits>

namespace rich_text {
class RichTextBox;
} // namespace rich_text

namespace transcript {

// The colour the window gives received entries, &HBBGGRR.
constexpr quint32 kReceivedBgr = messages::ColorRecibido;

// The model alone as a control: colours in &HBBGGRR like the widget, and the
// source read once the content is loaded, as the widget does.
class ModelControl {
public:
    explicit ModelControl(rich_text::TextModel &model)
        : m_model(model)
    {
    }
    rich_text::Rope text() const;
    void setText(const rich_text::Rope &plain);
    rich_text::Rope textRtf();
    void setTextRtf(const rich_text::Rope &rtf);
    void setSelStart(qint64 start);
    void setSelLength(qint64 length);
    void setSelColor(quint32 bgr);

private:
    rich_text::TextModel &m_model;
};

// Appends entries as the window does, keeping the running position.
// For rich_text::TextModel and rich_text::RichTextBox.
template <typename Control> class Writer {
public:
    explicit Writer(Control &control)
        : m_control(control)
    {
    }

    void sent(const QString &message);
    void received(const QString &message);
    void cursorToEnd();
    qint64 position() const { return qint64(m_pos); }

private:
    using Driven = std::conditional_t<std::is_same_v<Control, rich_text::TextModel>, ModelControl, Control &>;
    Driven m_control;
    double m_pos = 0;
};

extern template class Writer<rich_text::TextModel>;
extern template class Writer<rich_text::RichTextBox>;

} // namespace transcript
