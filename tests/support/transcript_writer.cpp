#include "transcript_writer.h"

#include "messages/transcript.h"
#include "rich_text/document.h"
#include "rich_text/rich_text_box.h"

namespace transcript {

rich_text::Rope ModelControl::text() const { return m_model.text(); }

void ModelControl::setText(const rich_text::Rope &plain) { m_model.setText(plain); }

rich_text::Rope ModelControl::textRtf()
{
    m_model.load();
    return m_model.textRtf();
}

void ModelControl::setTextRtf(const rich_text::Rope &rtf) { m_model.setTextRtf(rtf); }

void ModelControl::setSelStart(qint64 start) { m_model.setSelStart(start); }

void ModelControl::setSelLength(qint64 length) { m_model.setSelLength(length); }

void ModelControl::setSelColor(quint32 bgr) { m_model.setSelColor(rich_text::swapRedBlue(bgr)); }

template <typename Control> void Writer<Control>::sent(const QString &message)
{
    messages::AgregarEnviado(m_control, m_pos, message);
}

template <typename Control> void Writer<Control>::received(const QString &message)
{
    messages::AgregarRecibido(m_control, m_pos, message, kReceivedBgr);
}

template <typename Control> void Writer<Control>::cursorToEnd() { messages::CursorAlFinal(m_control); }

template class Writer<rich_text::TextModel>;
template class Writer<rich_text::RichTextBox>;

} // namespace transcript
