#include "rich_text/rtf_writer.h"

#include "rich_text/file_text.h"
#include "rich_text/text_memory.h"

#include <type_traits>

namespace rich_text::rtf_writer {

namespace {

// Counts what an Output would write, without writing it.
struct Count {
    qint64 size = 0;
    Count &operator+=(char) { return ++size, *this; }
    Count &operator+=(const char *s) { return size += qint64(qstrlen(s)), *this; }
    Count &operator+=(const QByteArray &s) { return size += s.size(), *this; }
};

qint64 decimalLength(int n)
{
    qint64 digits = n < 0 ? 2 : 1;
    for (unsigned v = n < 0 ? 0u - unsigned(n) : unsigned(n); v >= 10; v /= 10)
        ++digits;
    return digits;
}

// RTF is written as ASCII bytes: everything else is escaped. `Sink` is a
// QByteArray, or a Count for the length alone.
template <typename Sink> class Output {
public:
    void word(const char *name, int param)
    {
        m_text += '\\';
        m_text += name;
        if constexpr (std::is_same_v<Sink, Count>)
            m_text.size += decimalLength(param);
        else
            m_text += QByteArray::number(param);
        m_delimit = true;
    }
    void word(const char *name)
    {
        m_text += '\\';
        m_text += name;
        m_delimit = true;
    }
    void literal(char c)
    {
        if (m_delimit)
            m_text += ' ';
        m_text += c;
        m_delimit = false;
    }
    template <typename Text> void raw(const Text &s)
    {
        m_text += s;
        m_delimit = false;
    }
    void text(QStringView chars);
    void formatChange(const Document &doc, const CharFormat &from, const CharFormat &to);
    void delimitNext() { m_delimit = true; }
    Sink &sink() { return m_text; }
    Sink take() { return std::move(m_text); }

private:
    Sink m_text;
    bool m_delimit = false; // a control word was written last
};

template <typename Sink> void Output<Sink>::text(QStringView chars)
{
    for (const QChar c : chars) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u < 0x7F && u != '\\' && u != '{' && u != '}') {
            literal(char(u));
        } else if (u == '\\' || u == '{' || u == '}') {
            raw("\\");
            m_text += char(u);
        } else if (u == '\t') {
            word("tab");
        } else if (u == '\r' || u == '\n') {
            word("line");
        } else if (u < 0x20 || u == 0x7F) {
            const char hex[] = {'\\', '\'', "0123456789abcdef"[u >> 4], "0123456789abcdef"[u & 0xF], 0};
            raw(hex);
        } else {
            word("u", int(qint16(u)));
            raw("?");
        }
    }
}

template <typename Sink>
void Output<Sink>::formatChange(const Document &doc, const CharFormat &from, const CharFormat &to)
{
    if (from.font != to.font)
        word("f", to.font);
    if (from.sizeHalfPoints != to.sizeHalfPoints)
        word("fs", to.sizeHalfPoints);
    if (from.color != to.color)
        word("cf", std::max(doc.colorIndex(to.color), 0));
    if (from.bold != to.bold)
        to.bold ? word("b") : word("b", 0);
    if (from.italic != to.italic)
        to.italic ? word("i") : word("i", 0);
    if (from.underline != to.underline)
        to.underline ? word("ul") : word("ulnone");
}

QString fontName(const QString &name)
{
    QString out;
    for (const QChar c : name) {
        if (c == u';' || c == u'\\' || c == u'{' || c == u'}' || c.unicode() < 0x20)
            continue;
        out += c;
    }
    return out.trimmed();
}

} // namespace

QByteArray header(const Document &doc)
{
    QByteArray out = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl";
    for (size_t i = 0; i < doc.fonts().size(); ++i) {
        const FontEntry &font = doc.fonts()[i];
        Output<QByteArray> entry;
        entry.raw("{\\f" + QByteArray::number(qulonglong(i)) + "\\" + font.family.toLatin1() + "\\fcharset"
                  + QByteArray::number(font.charset));
        entry.delimitNext();
        entry.text(fontName(font.name));
        entry.raw(";}");
        out += entry.take();
    }
    out += "}\r\n";
    if (doc.colors().size() > 1) {
        out += "{\\colortbl ;";
        for (size_t i = 1; i < doc.colors().size(); ++i) {
            const quint32 rgb = doc.colors()[i].value_or(0);
            out += "\\red" + QByteArray::number(rgb >> 16 & 0xFF) + "\\green" + QByteArray::number(rgb >> 8 & 0xFF)
                + "\\blue" + QByteArray::number(rgb & 0xFF) + ";";
        }
        out += "}\r\n";
    }
    out += "\\viewkind4\\uc1\\pard\\f0\\fs20";
    return out;
}

namespace {

// A paragraph's piece, its text read from the document's rope run by run.
template <typename Sink> Sink writeParagraph(const Document &doc, size_t index, bool final)
{
    CharFormat state = index == 0 ? Document::defaultFormat() : doc.markFormat(index - 1);
    Output<Sink> out;
    if (index == 0)
        out.delimitNext(); // the header ends with a control word
    const qint64 start = doc.paragraphStart(index);
    doc.forEachRun(index, [&](qint64 offset, qint64 length, const CharFormat &format) {
        out.formatChange(doc, state, format);
        state = format;
        doc.text().mid(start + offset, length).forEachChunk(0, [&out](QStringView chunk) {
            out.text(chunk);
            return true;
        });
    });
    out.formatChange(doc, state, final ? Document::defaultFormat() : doc.markFormat(index));
    out.word("par");
    out.raw("\r\n");
    return out.take();
}

} // namespace

QByteArray paragraph(const Document &doc, size_t index)
{
    return writeParagraph<QByteArray>(doc, index, index + 1 == doc.paragraphCount());
}

void TextLength::add(char16_t u)
{
    if (u >= 0x20 && u < 0x7F && u != '\\' && u != '{' && u != '}') {
        addPlain();
        return;
    }
    if (u == '\\' || u == '{' || u == '}')
        m_length += 2;
    else if (u == '\t')
        m_length += 4; // \tab
    else if (u == '\r' || u == '\n')
        m_length += 5; // \line
    else if (u < 0x20 || u == 0x7F)
        m_length += 4; // \'hh
    else
        m_length += 3 + decimalLength(qint16(u)); // \uN?
    m_afterWord = u == '\t' || u == '\r' || u == '\n';
}

qint64 textLength(const Document &doc, size_t index)
{
    TextLength length;
    doc.text().mid(doc.paragraphStart(index), doc.paragraphLength(index)).forEachChunk(0, [&length](QStringView chunk) {
        for (const QChar c : chunk)
            length.add(c.unicode());
        return true;
    });
    return length.length();
}

namespace {

qint64 formatChangeLength(const Document &doc, const CharFormat &from, const CharFormat &to)
{
    Output<Count> out;
    out.formatChange(doc, from, to);
    return out.take().size;
}

bool isLiteral(char16_t u) { return u >= 0x20 && u < 0x7F && u != '\\' && u != '{' && u != '}'; }
// A unit written as a control word, after which a literal needs a space.
bool isWordUnit(char16_t u) { return u == '\t' || u == '\r' || u == '\n'; }

} // namespace

// The text's length counts the space a literal needs after a control word
// inside the text; where a run starts, format words come first, after which
// a literal needs its space whatever precedes it.
qint64 paragraphLength(const Document &doc, size_t index, bool final, qint64 textLength)
{
    CharFormat state = index == 0 ? Document::defaultFormat() : doc.markFormat(index - 1);
    const Rope &text = doc.text();
    const qint64 start = doc.paragraphStart(index);
    qint64 length = textLength;
    doc.forEachRun(index, [&](qint64 offset, qint64, const CharFormat &format) {
        const qint64 words = formatChangeLength(doc, state, format);
        state = format;
        // The header ends with a control word, as format words do.
        const bool afterWord = words > 0 || (index == 0 && offset == 0);
        if (afterWord && isLiteral(text.at(start + offset).unicode())
            && !(offset > 0 && isWordUnit(text.at(start + offset - 1).unicode())))
            ++length;
        length += words;
    });
    const qint64 par = 6; // "\par" CR LF
    return length + formatChangeLength(doc, state, final ? Document::defaultFormat() : doc.markFormat(index)) + par;
}

Rope body(const Document &doc, size_t paragraphs)
{
    // Made in stretches, so that a long body is never one array; past what
    // the document's memory keeps of recent text, each goes to its file
    // while the file takes it.
    constexpr qsizetype kStretch = 65536;
    const std::shared_ptr<TextMemory> &memory = doc.memory();
    const qint64 keep = memory ? memory->recentText() / 2 : -1;
    Rope out;
    Rope pending; // not in the file yet
    QByteArray stretch;
    auto toFile = [&] {
        while (pending.length() >= FileStretch::kChars && out.length() + pending.length() > keep && keep >= 0
               && memory->canTake()) {
            out += FileStretch::store(memory, pending.left(FileStretch::kChars));
            pending = pending.mid(FileStretch::kChars);
        }
    };
    for (size_t i = 0; i < paragraphs; ++i) {
        stretch += writeParagraph<QByteArray>(doc, i, i + 1 == paragraphs);
        if (stretch.size() >= kStretch) {
            pending += Rope::fromLatin1(stretch);
            stretch.clear();
            toFile();
        }
    }
    return out + pending + Rope::fromLatin1(stretch);
}

Rope write(const Document &doc)
{
    return Rope::fromLatin1(header(doc)) + body(doc, doc.paragraphCount()) + Rope::fromLatin1(kClosing);
}

} // namespace rich_text::rtf_writer
