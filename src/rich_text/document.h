#pragma once

#include <QHash>
#include <QString>

#include <optional>
#include <vector>

namespace rich_text {

// Colours are 0xRRGGBB; an empty optional is the automatic (default) colour.
using Color = std::optional<quint32>;

struct CharFormat {
    int font = 0;               // index into Document::fonts
    int sizeHalfPoints = 20;
    Color color;
    bool bold = false;
    bool italic = false;
    bool underline = false;

    friend bool operator==(const CharFormat&, const CharFormat&) = default;
};

// A stretch of a paragraph's text sharing one format.
struct Span {
    qint64 length = 0;
    CharFormat format;

    friend bool operator==(const Span&, const Span&) = default;
};

// Text of one paragraph without its break. Line breaks inside it are single
// '\n' or '\r' characters. The paragraph mark (the break after it) has its
// own format; the last paragraph's mark has no position in the plain text.
struct Paragraph {
    QString text;
    std::vector<Span> spans;    // lengths add up to text.size()
    CharFormat markFormat;

    qint64 length() const { return text.size(); }
    void append(QStringView chars, const CharFormat& format);
    CharFormat formatAt(qint64 offset) const;
    // Sets the colour of [from, to) (clamped to the text), merging equal neighbours.
    void setColor(qint64 from, qint64 to, const Color& color);

    friend bool operator==(const Paragraph&, const Paragraph&) = default;
};

struct FontEntry {
    QString name;
    QString family = QStringLiteral("fnil");   // RTF family keyword without the backslash
    int charset = 0;

    friend bool operator==(const FontEntry&, const FontEntry&) = default;
};

// The structured content. Invariants kept by normalize(): at least one
// paragraph, at least one font, colors[0] is the automatic colour, and the
// final paragraph mark has the default format.
struct Document {
    std::vector<Paragraph> paragraphs;
    std::vector<FontEntry> fonts;
    std::vector<Color> colors;

    static CharFormat defaultFormat() { return CharFormat{}; }
    static Document empty(const QString& fontName);

    qint64 plainLength() const;          // paragraphs plus two positions per break
    QString plainText() const;
    int colorIndex(const Color& color) const;   // -1 when not in the table
    int ensureColor(const Color& color);        // adds it when missing
    void normalize(const QString& fontName);

    friend bool operator==(const Document& a, const Document& b)
    {
        return a.paragraphs == b.paragraphs && a.fonts == b.fonts && a.colors == b.colors;
    }

private:
    // Lookup of colors by value, caught up lazily with entries pushed since.
    mutable QHash<quint32, int> m_colorSlots;
    mutable size_t m_indexedColors = 0;
};

}  // namespace rich_text
