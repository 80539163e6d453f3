#include "messages/rtf_literal.h"

#include "rich_text/literal_text.h"

namespace messages {

char16_t shownUnit(QStringView text, qsizetype i) { return rich_text::shownUnit(text, i); }

rich_text::Rope rtfLiteral(QStringView text) { return rich_text::literalRtf(text); }

} // namespace messages
