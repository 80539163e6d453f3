#pragma once

#include "rich_text/document.h"
#include "rich_text/rope.h"
#include "rich_text/rtf_writer.h"

#include <QHash>

#include <array>
#include <string_view>
#include <vector>

namespace rich_text {

class LiteralText;

// Streaming RTF reader. It takes its input in chunks of any size (a control
// word may straddle two chunks), keeps all of its state in plain members and
// never recurses, so any input is read in linear time with bounded stack and
// a group stack capped at kMaxDepth.
//
// A reader can also be resumed on an existing document as if it had just read
// that document as written by RtfWriter, up to (not including) the closing
// brace: the document's final paragraph mark has been read as a real \par,
// and the next character continues the text of a new paragraph.
class RtfReader {
public:
    static constexpr int kMaxDepth = 256;
    static constexpr int kMaxWordLength = 32;
    static constexpr qint64 kParamLimit = 1'000'000'000;

    // Reads into `target`, a document fresh from its constructor.
    RtfReader(Document &target, const QString &defaultFontName);
    static RtfReader resumeAfterFinalParagraph(Document &document, const QString &defaultFontName);

    void feed(QStringView chunk);
    void feed(const Rope &rope, qint64 from = 0);
    void finish(); // the document is complete; the reader is spent
    // Characters parsed one by one so far (a literal taken whole counts none).
    qint64 charactersParsed() const { return m_charactersParsed; }
    // The written lengths of the paragraphs that literals taken whole
    // brought, in the order they came.
    std::vector<rtf_writer::KnownTextLength> takeKnownTextLengths() { return std::move(m_knownTextLengths); }

    static Document read(const Rope &rtf, const QString &defaultFontName);

private:
    enum class Lex { Text, Backslash, Word, Param, Hex1, Hex2, Binary };
    enum class Dest { Text, FontTable, ColorTable, Skip };
    struct Group {
        CharFormat format;
        Dest dest = Dest::Text;
        int unicodeSkip = 1;
        bool openedAfterPar = false;
    };

    enum class Start { Fresh, Resumed };
    RtfReader(Document &target, const QString &defaultFontName, Start start);
    bool step(char16_t c); // false: c was not consumed, feed it again
    // Takes a literalRtf() leaf as the text it shows, where reading its
    // characters would append just that text in the current format.
    bool takeWhole(const GeneratedText &piece);
    void noteTextLengths(const LiteralText &literal);
    void openGroup();
    void closeGroup();
    void endWord(bool hasParam);
    void controlWord(std::string_view word, bool hasParam, int param);
    void controlSymbol(char16_t c);
    void destinationText(char16_t c);
    void hexByte(int byte);
    void paragraphBreak();
    bool skippingFallback();
    void commitFont();
    void commitColor();
    Group &top() { return m_groups.back(); }

    Document *m_doc;
    QString m_defaultFontName;
    std::vector<Group> m_groups;
    int m_overflowDepth = 0; // groups opened beyond kMaxDepth; their content is skipped
    bool m_started = false;  // the document's outer group has been opened
    bool m_done = false;     // ... and closed: the rest of the input is ignored

    Lex m_lex = Lex::Text;
    std::array<char, kMaxWordLength> m_word{};
    int m_wordLength = 0;
    bool m_wordTooLong = false;
    bool m_negative = false;
    qint64 m_param = 0;
    int m_hexHigh = 0;
    qint64 m_binaryLeft = 0;
    int m_fallbackLeft = 0; // characters still to skip after \uN
    // Nothing but formatting and skipped destinations followed the last \par,
    // which is then the final paragraph mark rather than a break.
    bool m_trailingPar = false;
    qint64 m_charactersParsed = 0;
    std::vector<rtf_writer::KnownTextLength> m_knownTextLengths;

    QHash<int, int> m_fontNumbers; // RTF font number -> index in m_doc.fonts()
    int m_pendingFontNumber = 0;
    FontEntry m_pendingFont;
    std::vector<Color> m_colorTable; // as declared, for \cfN
    int m_red = 0, m_green = 0, m_blue = 0;
    bool m_colorGiven = false;
};

} // namespace rich_text
