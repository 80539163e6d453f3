#include "rich_text/clipboard_text.h"

#include "rich_text/line_breaks.h"

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

QString ClipboardText::plainText(const Rope &text) { return withLfBreaks(text); }

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
