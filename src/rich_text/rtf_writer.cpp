#include "rich_text/rtf_writer.h"

namespace rich_text::rtf_writer {

namespace {

// RTF is written as ASCII bytes: everything else is escaped.
class Output {
public:
    void word(const char *name, int param)
    {
        m_text += '\\';
        m_text += name;
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
    void raw(const QByteArray &s)
    {
        m_text += s;
        m_delimit = false;
    }
    void text(QStringView chars);
    void formatChange(const Document &doc, const CharFormat &from, const CharFormat &to);
    void delimitNext() { m_delimit = true; }
    QByteArray take() { return std::move(m_text); }

private:
    QByteArray m_text;
    bool m_delimit = false; // a control word was written last
};

void Output::text(QStringView chars)
{
    for (const QChar c : chars) {
        const char16_t u = c.unicode();
        if (u == '\\' || u == '{' || u == '}') {
            raw("\\");
            m_text += char(u);
        } else if (u == '\t') {
            word("tab");
        } else if (u == '\r' || u == '\n') {
            word("line");
        } else if (u < 0x20 || u == 0x7F) {
            raw("\\'" + QByteArray::number(int(u), 16).rightJustified(2, '0'));
        } else if (u < 0x80) {
            literal(char(u));
        } else {
            word("u", int(qint16(u)));
            raw("?");
        }
    }
}

void Output::formatChange(const Document &doc, const CharFormat &from, const CharFormat &to)
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
        Output entry;
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

QByteArray paragraph(const Document &doc, size_t index) { return paragraph(doc, index, doc.paragraphText(index)); }

QByteArray paragraph(const Document &doc, size_t index, QStringView text)
{
    const bool last = index + 1 == doc.paragraphCount();
    CharFormat state = index == 0 ? Document::defaultFormat() : doc.markFormat(index - 1);
    Output out;
    if (index == 0)
        out.delimitNext(); // the header ends with a control word
    doc.forEachRun(index, [&](qint64 offset, qint64 length, const CharFormat &format) {
        out.formatChange(doc, state, format);
        state = format;
        out.text(text.mid(offset, length));
    });
    out.formatChange(doc, state, last ? Document::defaultFormat() : doc.markFormat(index));
    out.word("par");
    out.raw("\r\n");
    return out.take();
}

Rope write(const Document &doc)
{
    QByteArray out = header(doc);
    for (size_t i = 0; i < doc.paragraphCount(); ++i)
        out += paragraph(doc, i);
    out += kClosing;
    return Rope::fromLatin1(out);
}

} // namespace rich_text::rtf_writer
