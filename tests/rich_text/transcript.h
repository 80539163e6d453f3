#pragma once

// Drives a control exactly as the chat window appends to its transcript.

#include "messages/rtf_literal.h"
#include "rich_text/rope.h"

#include <QString>

#include <algorithm>
#include <limits>

namespace transcript {

inline qint32 clampToInt32(qint64 v)
{
    return qint32(std::clamp<qint64>(v, std::numeric_limits<qint32>::min(),
                                     std::numeric_limits<qint32>::max()));
}

constexpr quint32 kReceivedBgr = 0xFF5555;   // red 85, green 85, blue 255

template <typename Control>
class Writer {
public:
    explicit Writer(Control& control) : m_c(control) {}

    void append(const rich_text::Rope& tail)
    {
        m_c.setText(m_c.textRtf());
        const rich_text::Rope keep = m_c.text();
        const qint64 n = m_c.text().length() - 3;
        m_c.setText(keep.left(n) + tail + rich_text::Rope(u"}"));
        m_c.setTextRtf(m_c.text());
    }
    void sent(const QString& msg)
    {
        m_pos += msg.length() + 2;
        append(messages::rtfLiteral(msg));
    }
    void received(const QString& msg)
    {
        append(rich_text::Rope("\r\n") + messages::rtfLiteral(msg));
        m_c.setSelStart(clampToInt32(m_pos));
        m_c.setSelLength(clampToInt32(msg.length() + 2));
        setColor(kReceivedBgr);
        m_pos += msg.length() + 2;
    }
    void cursorToEnd() { m_c.setSelStart(clampToInt32(m_c.text().length())); }
    qint64 position() const { return m_pos; }

private:
    // The model takes 0xRRGGBB, the widget 0xBBGGRR like the chat window.
    void setColor(quint32 bgr)
    {
        if constexpr (requires { m_c.setSelColor(bgr); m_c.editor(); })
            m_c.setSelColor(bgr);
        else
            m_c.setSelColor((bgr & 0xFF) << 16 | (bgr & 0xFF00) | bgr >> 16);
    }

    Control& m_c;
    qint64 m_pos = 0;
};

}  // namespace transcript
