#pragma once

// Drives a control with the chat window's own transcript operations, and
// reaches what the model reports about its last load.

#include "messages/transcript.h"
#include "rich_text/text_model.h"

#include <type_traits>

namespace rich_text {

struct TextModelTestAccess {
    // Whether the last setTextRtf() parsed only what was appended, and how
    // many characters it read to recognise its own source.
    static bool lastLoadIncremental(const TextModel& m) { return m.m_lastLoad.incremental; }
    static qint64 charsCompared(const TextModel& m) { return m.m_lastLoad.charsCompared; }
};

}  // namespace rich_text

namespace transcript {

constexpr quint32 kReceivedBgr = 0xFF5555;   // red 85, green 85, blue 255

inline bool lastLoadIncremental(const rich_text::TextModel& m)
{
    return rich_text::TextModelTestAccess::lastLoadIncremental(m);
}

// The model alone as a control: colours in &HBBGGRR like the widget, and the
// source read once the content is loaded, as the widget does.
class ModelControl {
public:
    explicit ModelControl(rich_text::TextModel& model) : m_model(model) {}
    rich_text::Rope text() const { return m_model.text(); }
    void setText(const rich_text::Rope& plain) { m_model.setText(plain); }
    rich_text::Rope textRtf()
    {
        m_model.load();
        return m_model.textRtf();
    }
    void setTextRtf(const rich_text::Rope& rtf) { m_model.setTextRtf(rtf); }
    void setSelStart(qint32 start) { m_model.setSelStart(start); }
    void setSelLength(qint32 length) { m_model.setSelLength(length); }
    void setSelColor(quint32 bgr) { m_model.setSelColor(rich_text::swapRedBlue(bgr)); }

private:
    rich_text::TextModel& m_model;
};

template <typename Control>
class Writer {
public:
    explicit Writer(Control& control) : m_c(control) {}

    void sent(const QString& msg) { messages::AgregarEnviado(m_c, m_pos, msg); }
    void received(const QString& msg) { messages::AgregarRecibido(m_c, m_pos, msg, kReceivedBgr); }
    void cursorToEnd() { messages::CursorAlFinal(m_c); }
    qint64 position() const { return qint64(m_pos); }

private:
    using Driven = std::conditional_t<std::is_same_v<Control, rich_text::TextModel>, ModelControl, Control&>;
    Driven m_c;
    double m_pos = 0;
};

}  // namespace transcript
