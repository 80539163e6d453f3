#pragma once

#include "rich_text/rope.h"

#include <QMimeData>

namespace rich_text {

// Text handed to the clipboard or the primary selection without building it.
// It holds a copy of the selected part of the content, which costs nothing
// as ropes are immutable and share their characters; the plain text, with
// LF line breaks, is produced each time a client asks for it and not kept,
// so a copy of a huge transcript is instant and the text is never held twice.
//
// Invariants:
// - m_text never changes; every request gives plainText(m_text).
class ClipboardText : public QMimeData {
    Q_OBJECT
public:
    explicit ClipboardText(const Rope &text);

    QStringList formats() const override;
    bool hasFormat(const QString &mimeType) const override;

    // CR LF and lone CR become LF, as the clipboard gets line breaks here.
    static QString plainText(const Rope &text);
    qint64 timesBuilt() const { return m_timesBuilt; } // for tests
    // What was copied, as the control holds it (CR LF breaks).
    const Rope &text() const { return m_text; }

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
    const Rope m_text;
    mutable qint64 m_timesBuilt = 0;
};

} // namespace rich_text
