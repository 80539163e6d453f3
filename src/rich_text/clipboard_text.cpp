#include "rich_text/clipboard_text.h"

namespace rich_text {

namespace {

const QString kTextPlain = QStringLiteral("text/plain");

} // namespace

ClipboardText::ClipboardText(const Rope &text)
    : m_text(text)
{
}

QStringList ClipboardText::formats() const { return {kTextPlain}; }

bool ClipboardText::hasFormat(const QString &mimeType) const { return mimeType == kTextPlain; }

QString ClipboardText::plainText(const Rope &text)
{
    QString out;
    out.reserve(text.length());
    bool afterCr = false; // the chunk before ended in CR
    text.forEachChunk(0, [&](QStringView chunk) {
        if (afterCr && chunk.startsWith(u'\n'))
            chunk = chunk.mid(1); // the LF of a CR LF already written
        afterCr = false;
        for (qsizetype cr; (cr = chunk.indexOf(u'\r')) >= 0;) {
            out += chunk.left(cr);
            out += u'\n';
            const bool lf = cr + 1 < chunk.size() && chunk[cr + 1] == u'\n';
            chunk = chunk.mid(cr + (lf ? 2 : 1));
            afterCr = !lf && chunk.isEmpty();
        }
        out += chunk;
        return true;
    });
    return out;
}

QVariant ClipboardText::retrieveData(const QString &mimeType, QMetaType type) const
{
    if (mimeType != kTextPlain)
        return QVariant();
    ++m_timesBuilt;
    const QString text = plainText(m_text);
    if (type.id() == QMetaType::QByteArray)
        return text.toUtf8();
    return text;
}

} // namespace rich_text
