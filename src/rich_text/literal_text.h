#pragma once

#include "rich_text/rope.h"

#include <QStringView>

#include <vector>

namespace rich_text {

// RTF that shows a plain text literally, each UTF-16 unit taking exactly one
// position of the control's plain text: CR LF becomes a paragraph break (its
// two positions), a lone CR or LF a line break, a tab a tab, other control
// characters their visible stand-in (shownUnit), and an unpaired surrogate
// U+FFFD. An empty text, or one ending with CR LF, is closed by an empty
// group "{}" so that its last paragraph is not taken for the final mark.
//
// The RTF is one generated leaf that remembers what it shows: the control's
// reader takes that text as it is instead of parsing the RTF, which is made
// only if someone reads its characters.
Rope literalRtf(QStringView text);

// The character the control shows for unit `i` of `text` when it is neither
// a line break nor a tab: the stand-in of a control character, U+FFFD for an
// unpaired surrogate, the unit itself otherwise.
char16_t shownUnit(QStringView text, qsizetype i);

// What a literalRtf() leaf stands for.
//
// Invariants:
// - m_shown is the text as the control shows it: stand-ins in place, every
//   lone CR or LF an LF, CR LF only where the text had CR LF.
// - m_breaks holds, in order, the position in m_shown of the CR of each CR LF.
// - m_textLengths holds, for each stretch of m_shown between its breaks (one
//   more than there are breaks), rtf_writer::textLength() of a paragraph
//   that is that stretch: the control's source writes it without reading it.
// - length() is the length of the RTF that make() writes.
class LiteralText : public GeneratedText {
public:
    LiteralText(Rope shown, std::vector<qint64> breaks, std::vector<qint64> textLengths, bool closed, qint64 rtfLength);

    const Rope &shown() const { return m_shown; }
    const std::vector<qint64> &breaks() const { return m_breaks; }
    const std::vector<qint64> &textLengths() const { return m_textLengths; }

protected:
    Rope make() const override;

private:
    Rope m_shown;
    std::vector<qint64> m_breaks;
    std::vector<qint64> m_textLengths;
    bool m_closed; // ends with "{}"
};

} // namespace rich_text
