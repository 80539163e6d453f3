#include "transcript_writer.h"

#include "messages/transcript.h"
#include "rich_text/document.h"
#include "rich_text/rich_text_box.h"

namespace transcript {

rich_text::Rope ModelControl::text() const
{
    return model_.text();
}

void ModelControl::setText(const rich_text::Rope &plain)
{
    model_.setText(plain);
}

rich_text::Rope ModelControl::textRtf()
{
    model_.load();
    return model_.textRtf();
}

void ModelControl::setTextRtf(const rich_text::Rope &rtf)
{
    model_.setTextRtf(rtf);
}

void ModelControl::setSelStart(qint32 start)
{
    model_.setSelStart(start);
}

void ModelControl::setSelLength(qint32 length)
{
    model_.setSelLength(length);
}

void ModelControl::setSelColor(quint32 bgr)
{
    model_.setSelColor(rich_text::swapRedBlue(bgr));
}

template <typename Control>
void Writer<Control>::sent(const QString &message)
{
    messages::AgregarEnviado(control_, pos_, message);
}

template <typename Control>
void Writer<Control>::received(const QString &message)
{
    messages::AgregarRecibido(control_, pos_, message, kReceivedBgr);
}

template <typename Control>
void Writer<Control>::cursorToEnd()
{
    messages::CursorAlFinal(control_);
}

template class Writer<rich_text::TextModel>;
template class Writer<rich_text::RichTextBox>;

} // namespace transcript
