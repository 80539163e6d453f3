#pragma once

#include "rich_text/rope.h"

#include <QStringView>

namespace messages {

// RTF that shows `text` literally in the transcript, each UTF-16 unit taking
// exactly one position of the control's plain text: CR LF becomes a paragraph
// break (its two positions), a lone CR or LF a line break, a tab a tab, other
// control characters their visible Control Pictures stand-in, and an unpaired
// surrogate U+FFFD. An empty text, or one ending with CR LF, is closed by an
// empty group "{}" so its last paragraph is not taken for the final mark.
rich_text::Rope rtfLiteral(QStringView text);

// The character the control shows for unit `i` of `text` when it is neither
// a line break nor a tab: the stand-in of a control character, U+FFFD for an
// unpaired surrogate, the unit itself otherwise.
char16_t shownUnit(QStringView text, qsizetype i);

} // namespace messages
