#include "rich_text/rtf_reader.h"

#include "code_page/windows1252.h"
#include "rich_text/literal_text.h"

#include <algorithm>
#include <unordered_map>

namespace rich_text {

namespace {

enum class Kw {
    Skip,
    FontTable,
    ColorTable,
    Par,
    Line,
    Tab,
    Cell,
    U,
    Uc,
    Bin,
    F,
    Fs,
    Cf,
    B,
    I,
    Ul,
    UlNone,
    Plain,
    Red,
    Green,
    Blue,
    FontFamily,
    FontCharset,
    Char,
};

struct KwInfo {
    Kw kind;
    char16_t ch = 0; // for Kw::Char
};

const std::unordered_map<std::string_view, KwInfo> kKeywords = {
    // destinations whose content is never shown
    {"stylesheet", {Kw::Skip}},
    {"info", {Kw::Skip}},
    {"pict", {Kw::Skip}},
    {"object", {Kw::Skip}},
    {"header", {Kw::Skip}},
    {"headerl", {Kw::Skip}},
    {"headerr", {Kw::Skip}},
    {"headerf", {Kw::Skip}},
    {"footer", {Kw::Skip}},
    {"footerl", {Kw::Skip}},
    {"footerr", {Kw::Skip}},
    {"footerf", {Kw::Skip}},
    {"fldinst", {Kw::Skip}},
    {"xe", {Kw::Skip}},
    {"tc", {Kw::Skip}},
    {"themedata", {Kw::Skip}},
    {"colorschememapping", {Kw::Skip}},
    {"latentstyles", {Kw::Skip}},
    {"datastore", {Kw::Skip}},
    {"listtable", {Kw::Skip}},
    {"listoverridetable", {Kw::Skip}},
    {"revtbl", {Kw::Skip}},
    {"rsidtbl", {Kw::Skip}},
    {"generator", {Kw::Skip}},
    {"filetbl", {Kw::Skip}},
    {"footnote", {Kw::Skip}},
    {"annotation", {Kw::Skip}},
    {"nonshppict", {Kw::Skip}},
    {"shpinst", {Kw::Skip}},
    {"xmlnstbl", {Kw::Skip}},
    {"mmathPr", {Kw::Skip}},
    {"private", {Kw::Skip}},
    {"fonttbl", {Kw::FontTable}},
    {"colortbl", {Kw::ColorTable}},
    {"par", {Kw::Par}},
    {"page", {Kw::Par}},
    {"sect", {Kw::Par}},
    {"row", {Kw::Par}},
    {"line", {Kw::Line}},
    {"tab", {Kw::Tab}},
    {"cell", {Kw::Cell}},
    {"u", {Kw::U}},
    {"uc", {Kw::Uc}},
    {"bin", {Kw::Bin}},
    {"f", {Kw::F}},
    {"fs", {Kw::Fs}},
    {"cf", {Kw::Cf}},
    {"b", {Kw::B}},
    {"i", {Kw::I}},
    {"ul", {Kw::Ul}},
    {"ulnone", {Kw::UlNone}},
    {"plain", {Kw::Plain}},
    {"red", {Kw::Red}},
    {"green", {Kw::Green}},
    {"blue", {Kw::Blue}},
    {"fnil", {Kw::FontFamily}},
    {"froman", {Kw::FontFamily}},
    {"fswiss", {Kw::FontFamily}},
    {"fmodern", {Kw::FontFamily}},
    {"fscript", {Kw::FontFamily}},
    {"fdecor", {Kw::FontFamily}},
    {"ftech", {Kw::FontFamily}},
    {"fbidi", {Kw::FontFamily}},
    {"fcharset", {Kw::FontCharset}},
    {"emdash", {Kw::Char, 0x2014}},
    {"endash", {Kw::Char, 0x2013}},
    {"bullet", {Kw::Char, 0x2022}},
    {"lquote", {Kw::Char, 0x2018}},
    {"rquote", {Kw::Char, 0x2019}},
    {"ldblquote", {Kw::Char, 0x201C}},
    {"rdblquote", {Kw::Char, 0x201D}},
    {"emspace", {Kw::Char, 0x2003}},
    {"enspace", {Kw::Char, 0x2002}},
    {"qmspace", {Kw::Char, 0x2005}},
};

bool isLetter(char16_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char16_t c) { return c >= '0' && c <= '9'; }

int hexValue(char16_t c)
{
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// RTF's own initial character format (12 pt); documents set theirs in the header.
CharFormat rtfInitialFormat()
{
    CharFormat f;
    f.sizeHalfPoints = 24;
    return f;
}

} // namespace

RtfReader::RtfReader(Document &target, const QString &defaultFontName)
    : RtfReader(target, defaultFontName, Start::Fresh)
{
}

RtfReader::RtfReader(Document &target, const QString &defaultFontName, Start start)
    : m_doc(&target)
    , m_defaultFontName(defaultFontName)
{
    if (start == Start::Fresh)
        m_doc->appendColor(Color{});
    m_groups.push_back(Group{rtfInitialFormat()});
}

RtfReader RtfReader::resumeAfterFinalParagraph(Document &document, const QString &defaultFontName)
{
    document.normalize(defaultFontName);
    RtfReader reader(document, defaultFontName, Start::Resumed);
    reader.m_started = true;
    reader.m_groups.push_back(Group{Document::defaultFormat()});
    for (int i = 0; i < int(document.fonts().size()); ++i)
        reader.m_fontNumbers.insert(i, i);
    reader.m_colorTable = document.colors();
    reader.paragraphBreak();
    return reader;
}

Document RtfReader::read(const Rope &rtf, const QString &defaultFontName)
{
    Document doc;
    RtfReader reader(doc, defaultFontName);
    reader.feed(rtf);
    reader.finish();
    return doc;
}

void RtfReader::feed(const Rope &rope, qint64 from)
{
    rope.forEachPiece(
        from,
        [this](QStringView chunk) {
            feed(chunk);
            return !m_done;
        },
        [this](const GeneratedText &piece) { return takeWhole(piece); });
}

// A literal's RTF holds text, \par, \line, \tab, escaped symbols, \uN? and a
// closing "{}", nothing that changes the format or the destination. Read
// character by character in plain text with one fallback character per \uN,
// inside the document and below the depth limit, it appends exactly the text
// it shows and leaves no final-mark \par pending.
bool RtfReader::takeWhole(const GeneratedText &piece)
{
    const auto *literal = dynamic_cast<const LiteralText *>(&piece);
    const bool plainText = m_lex == Lex::Text && !m_done && m_overflowDepth == 0 && m_fallbackLeft == 0
        && m_groups.size() >= 2 && int(m_groups.size()) < kMaxDepth && top().dest == Dest::Text
        && top().unicodeSkip == 1;
    if (!literal || !plainText)
        return false;
    noteTextLengths(*literal);
    m_doc->appendShown(literal->shown(), literal->breaks(), top().format);
    m_trailingPar = false;
    return true;
}

// Each stretch of the literal between its breaks is a paragraph of its own
// text when it starts one; where the paragraph goes on past it, the start
// or the length no longer match, and the source reads that paragraph.
void RtfReader::noteTextLengths(const LiteralText &literal)
{
    const std::vector<qint64> &breaks = literal.breaks();
    const size_t paragraph = m_doc->paragraphCount() - 1;
    const qint64 start = m_doc->plainLength();
    for (size_t k = 0; k <= breaks.size(); ++k) {
        const qint64 from = k == 0 ? 0 : breaks[k - 1] + 2;
        const qint64 to = k < breaks.size() ? breaks[k] : literal.shown().length();
        m_knownTextLengths.push_back(
            rtf_writer::KnownTextLength{paragraph + k, start + from, to - from, literal.textLengths()[k]});
    }
}

void RtfReader::feed(QStringView chunk)
{
    m_charactersParsed += chunk.size();
    for (qsizetype i = 0; i < chunk.size() && !m_done;) {
        if (step(chunk[i].unicode()))
            ++i;
    }
}

void RtfReader::finish()
{
    if (m_lex == Lex::Word || m_lex == Lex::Param)
        endWord(m_lex == Lex::Param);
    m_lex = Lex::Text;
    // A \par right at the end is the final paragraph mark, not an empty paragraph.
    if (m_trailingPar)
        m_doc->removeEmptyLastParagraph();
    m_doc->commit();
    m_doc->normalize(m_defaultFontName);
}

bool RtfReader::step(char16_t c)
{
    switch (m_lex) {
    case Lex::Text:
        if (c == '\\')
            m_lex = Lex::Backslash;
        else if (c == '{')
            openGroup();
        else if (c == '}')
            closeGroup();
        else if (c != '\r' && c != '\n')
            destinationText(c);
        return true;
    case Lex::Backslash:
        if (isLetter(c)) {
            m_lex = Lex::Word;
            m_word[0] = char(c);
            m_wordLength = 1;
            m_wordTooLong = false;
            m_negative = false;
            m_param = 0;
        } else if (c == '\'') {
            m_lex = Lex::Hex1;
        } else {
            m_lex = Lex::Text;
            if (c == '\r' || c == '\n')
                controlWord("par", false, 0);
            else
                controlSymbol(c);
        }
        return true;
    case Lex::Word:
        if (isLetter(c)) {
            if (m_wordLength < kMaxWordLength)
                m_word[m_wordLength++] = char(c);
            else
                m_wordTooLong = true;
            return true;
        }
        if (isDigit(c) || c == '-') {
            m_lex = Lex::Param;
            m_negative = c == '-';
            m_param = c == '-' ? 0 : c - '0';
            return true;
        }
        endWord(false);
        return c == ' '; // the delimiting space belongs to the control word
    case Lex::Param:
        if (isDigit(c)) {
            m_param = std::min(m_param * 10 + (c - '0'), kParamLimit);
            return true;
        }
        endWord(true);
        return c == ' ';
    case Lex::Hex1:
        m_hexHigh = hexValue(c);
        if (m_hexHigh < 0) {
            m_lex = Lex::Text; // not an escape after all; read c as it is
            return false;
        }
        m_lex = Lex::Hex2;
        return true;
    case Lex::Hex2: {
        const int low = hexValue(c);
        m_lex = Lex::Text;
        if (low < 0)
            return false;
        hexByte(m_hexHigh * 16 + low);
        return true;
    }
    case Lex::Binary:
        if (--m_binaryLeft <= 0)
            m_lex = Lex::Text;
        return true;
    }
    return true;
}

void RtfReader::openGroup()
{
    m_fallbackLeft = 0;
    if (m_overflowDepth > 0 || int(m_groups.size()) >= kMaxDepth) {
        ++m_overflowDepth;
        return;
    }
    m_groups.push_back(m_groups.back());
    m_groups.back().openedAfterPar = m_trailingPar;
    m_started = true;
}

void RtfReader::closeGroup()
{
    m_fallbackLeft = 0;
    if (m_overflowDepth > 0) {
        --m_overflowDepth;
        return;
    }
    if (m_groups.size() <= 1)
        return; // a stray brace before the document
    const Dest dest = top().dest;
    if (top().openedAfterPar && dest != Dest::Skip)
        m_trailingPar = false; // e.g. "\par{}": the paragraph after it exists
    m_groups.pop_back();
    if (dest == Dest::FontTable && top().dest != Dest::FontTable && !m_pendingFont.name.isEmpty())
        commitFont();
    if (m_groups.size() == 1 && m_started)
        m_done = true;
}

void RtfReader::endWord(bool hasParam)
{
    m_lex = Lex::Text;
    if (m_wordTooLong)
        return;
    const qint64 value = m_negative ? -m_param : m_param;
    controlWord(std::string_view(m_word.data(), size_t(m_wordLength)), hasParam, int(value));
}

bool RtfReader::skippingFallback()
{
    if (m_fallbackLeft <= 0)
        return false;
    --m_fallbackLeft;
    return true;
}

void RtfReader::controlWord(std::string_view word, bool hasParam, int param)
{
    const auto &table = kKeywords;
    const auto it = table.find(word);
    if (it == table.end() || m_overflowDepth > 0) {
        skippingFallback();
        return;
    }
    const KwInfo info = it->second;
    if (info.kind == Kw::Bin) {
        // Binary data is never interpreted, only stepped over.
        if (hasParam && param > 0) {
            m_binaryLeft = param;
            m_lex = Lex::Binary;
        }
        return;
    }
    if (skippingFallback())
        return;
    Group &g = top();
    const bool on = !hasParam || param != 0;
    switch (info.kind) {
    case Kw::Skip:
        g.dest = Dest::Skip;
        break;
    case Kw::FontTable:
        if (g.dest != Dest::Skip) {
            g.dest = Dest::FontTable;
            m_pendingFontNumber = 0;
            m_pendingFont = FontEntry{};
        }
        break;
    case Kw::ColorTable:
        if (g.dest != Dest::Skip) {
            g.dest = Dest::ColorTable;
            m_colorTable.clear();
            m_colorGiven = false;
            m_red = m_green = m_blue = 0;
        }
        break;
    case Kw::Par:
        paragraphBreak();
        break;
    case Kw::Line:
        destinationText('\n');
        break;
    case Kw::Tab:
    case Kw::Cell:
        destinationText('\t');
        break;
    case Kw::Char:
        destinationText(info.ch);
        break;
    case Kw::U: {
        const int unit = param < 0 ? param + 65536 : param;
        destinationText(unit >= 0 && unit <= 0xFFFF ? char16_t(unit) : char16_t(0xFFFD));
        m_fallbackLeft = g.unicodeSkip;
        break;
    }
    case Kw::Uc:
        g.unicodeSkip = std::clamp(param, 0, 16);
        break;
    case Kw::F:
        if (g.dest == Dest::FontTable) {
            if (!m_pendingFont.name.isEmpty())
                commitFont();
            m_pendingFontNumber = param;
            m_pendingFont = FontEntry{};
        } else {
            g.format.font = m_fontNumbers.value(param, 0);
        }
        break;
    case Kw::Fs:
        g.format.sizeHalfPoints = hasParam ? std::clamp(param, 2, 3276) : 24;
        break;
    case Kw::Cf:
        g.format.color = param > 0 && param < int(m_colorTable.size()) ? m_colorTable[size_t(param)] : Color{};
        break;
    case Kw::B:
        g.format.bold = on;
        break;
    case Kw::I:
        g.format.italic = on;
        break;
    case Kw::Ul:
        g.format.underline = on;
        break;
    case Kw::UlNone:
        g.format.underline = false;
        break;
    case Kw::Plain: {
        const int font = g.format.font;
        g.format = rtfInitialFormat();
        g.format.font = font;
        break;
    }
    case Kw::Red:
        m_red = std::clamp(param, 0, 255);
        m_colorGiven = true;
        break;
    case Kw::Green:
        m_green = std::clamp(param, 0, 255);
        m_colorGiven = true;
        break;
    case Kw::Blue:
        m_blue = std::clamp(param, 0, 255);
        m_colorGiven = true;
        break;
    case Kw::FontFamily:
        if (g.dest == Dest::FontTable)
            m_pendingFont.family = QString::fromLatin1(word.data(), qsizetype(word.size()));
        break;
    case Kw::FontCharset:
        if (g.dest == Dest::FontTable)
            m_pendingFont.charset = std::clamp(param, 0, 255);
        break;
    case Kw::Bin:
        break;
    }
}

void RtfReader::controlSymbol(char16_t c)
{
    switch (c) {
    case '\\':
    case '{':
    case '}':
        destinationText(c);
        return;
    case '~':
        destinationText(0x00A0);
        return;
    case '_':
        destinationText(0x2011);
        return;
    case '*':
        top().dest = Dest::Skip;
        return;
    default:
        skippingFallback(); // \- \| \: and unknown symbols show nothing
        return;
    }
}

void RtfReader::hexByte(int byte)
{
    if (byte == '\r' || byte == '\n')
        byte = '\n'; // a line break inside the paragraph
    destinationText(code_page::windows1252ToUnicode(uchar(byte)));
}

void RtfReader::destinationText(char16_t c)
{
    if (m_overflowDepth > 0 || skippingFallback())
        return;
    switch (top().dest) {
    case Dest::Text:
        if (c == '\r')
            c = '\n'; // a line break; CR LF only ever separates paragraphs
        m_doc->appendText(QStringView(&c, 1), top().format);
        m_trailingPar = false;
        return;
    case Dest::FontTable:
        // Characters RTF cannot carry in a font name are dropped.
        if (c == ';')
            commitFont();
        else if (m_pendingFont.name.size() < 256 && c >= 0x20 && c != '\\' && c != '{' && c != '}')
            m_pendingFont.name.append(QChar(c));
        return;
    case Dest::ColorTable:
        if (c == ';')
            commitColor();
        return;
    case Dest::Skip:
        return;
    }
}

void RtfReader::paragraphBreak()
{
    if (m_overflowDepth > 0 || top().dest != Dest::Text)
        return;
    m_doc->endParagraph(top().format);
    m_trailingPar = true;
}

void RtfReader::commitFont()
{
    m_pendingFont.name = m_pendingFont.name.trimmed();
    m_fontNumbers.insert(m_pendingFontNumber, m_doc->addFont(m_pendingFont));
    m_pendingFont = FontEntry{};
}

void RtfReader::commitColor()
{
    Color color;
    if (m_colorGiven)
        color = quint32(m_red << 16 | m_green << 8 | m_blue);
    m_colorTable.push_back(color);
    m_doc->ensureColor(color);
    m_colorGiven = false;
    m_red = m_green = m_blue = 0;
}

} // namespace rich_text
