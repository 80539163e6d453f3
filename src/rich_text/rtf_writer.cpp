#include "rich_text/rtf_writer.h"

namespace rich_text::rtf_writer {

namespace {

class Output {
public:
    void word(QStringView name, int param)
    {
        m_text += u'\\';
        m_text += name;
        m_text += QString::number(param);
        m_delimit = true;
    }
    void word(QStringView name)
    {
        m_text += u'\\';
        m_text += name;
        m_delimit = true;
    }
    void literal(QChar c)
    {
        if (m_delimit)
            m_text += u' ';
        m_text += c;
        m_delimit = false;
    }
    void raw(QStringView s)
    {
        m_text += s;
        m_delimit = false;
    }
    void text(QStringView chars);
    void formatChange(const Document& doc, const CharFormat& from, const CharFormat& to);
    void delimitNext() { m_delimit = true; }
    QString take() { return std::move(m_text); }

private:
    QString m_text;
    bool m_delimit = false;    // a control word was written last
};

void Output::text(QStringView chars)
{
    for (const QChar c : chars) {
        const char16_t u = c.unicode();
        if (u == '\\' || u == '{' || u == '}') {
            raw(QStringView(u"\\"));
            m_text += c;
        } else if (u == '\t') {
            word(u"tab");
        } else if (u == '\r' || u == '\n') {
            word(u"line");
        } else if (u < 0x20 || u == 0x7F) {
            raw(QStringLiteral("\\'%1").arg(int(u), 2, 16, QChar(u'0')));
        } else if (u < 0x80) {
            literal(c);
        } else {
            word(u"u", int(qint16(u)));
            raw(u"?");
        }
    }
}

void Output::formatChange(const Document& doc, const CharFormat& from, const CharFormat& to)
{
    if (from.font != to.font)
        word(u"f", to.font);
    if (from.sizeHalfPoints != to.sizeHalfPoints)
        word(u"fs", to.sizeHalfPoints);
    if (from.color != to.color)
        word(u"cf", std::max(doc.colorIndex(to.color), 0));
    if (from.bold != to.bold)
        to.bold ? word(u"b") : word(u"b", 0);
    if (from.italic != to.italic)
        to.italic ? word(u"i") : word(u"i", 0);
    if (from.underline != to.underline)
        to.underline ? word(u"ul") : word(u"ulnone");
}

QString fontName(const QString& name)
{
    QString out;
    for (const QChar c : name) {
        if (c == u';' || c == u'\\' || c == u'{' || c == u'}' || c.unicode() < 0x20)
            continue;
        out += c;
    }
    return out.trimmed();
}

}  // namespace

QString header(const Document& doc)
{
    QString out = QStringLiteral("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl");
    for (size_t i = 0; i < doc.fonts.size(); ++i) {
        const FontEntry& font = doc.fonts[i];
        Output entry;
        entry.raw(QStringLiteral("{\\f%1\\%2\\fcharset%3").arg(i).arg(font.family).arg(font.charset));
        entry.delimitNext();
        entry.text(fontName(font.name));
        entry.raw(u";}");
        out += entry.take();
    }
    out += u"}\r\n";
    if (doc.colors.size() > 1) {
        out += u"{\\colortbl ;";
        for (size_t i = 1; i < doc.colors.size(); ++i) {
            const quint32 rgb = doc.colors[i].value_or(0);
            out += QStringLiteral("\\red%1\\green%2\\blue%3;")
                       .arg(rgb >> 16 & 0xFF).arg(rgb >> 8 & 0xFF).arg(rgb & 0xFF);
        }
        out += u"}\r\n";
    }
    out += u"\\viewkind4\\uc1\\pard\\f0\\fs20";
    return out;
}

QString paragraph(const Document& doc, size_t index)
{
    const Paragraph& p = doc.paragraphs[index];
    const bool last = index + 1 == doc.paragraphs.size();
    CharFormat state = index == 0 ? Document::defaultFormat() : doc.paragraphs[index - 1].markFormat;
    Output out;
    if (index == 0)
        out.delimitNext();      // the header ends with a control word
    qint64 offset = 0;
    for (const Span& span : p.spans) {
        out.formatChange(doc, state, span.format);
        state = span.format;
        out.text(QStringView(p.text).mid(offset, span.length));
        offset += span.length;
    }
    out.formatChange(doc, state, last ? Document::defaultFormat() : p.markFormat);
    out.word(u"par");
    out.raw(u"\r\n");
    return out.take();
}

Rope write(const Document& doc)
{
    Rope out(header(doc));
    for (size_t i = 0; i < doc.paragraphs.size(); ++i)
        out += Rope(paragraph(doc, i));
    return out + Rope(kClosing);
}

}  // namespace rich_text::rtf_writer
