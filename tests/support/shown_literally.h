#pragma once
// What the transcript shows for a message, worked out character by character
// from the rules of messages::rtfLiteral, to check the RTF it writes against.

#include <QString>
#include <QStringView>

namespace support {

// The plain text the control shows for messages::rtfLiteral(text): CR LF
// stays, a lone CR or LF shows as LF, a tab as a tab, every other unit as
// messages::shownUnit gives it.
QString shownLiterally(QStringView text);

} // namespace support
