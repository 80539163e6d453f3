#pragma once
// Shared by the window tests: reach the controls of a Form1 by name, as a
// person reaches them by sight.

#include "connections/open_file_limit.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "main_window/form1.h"
#include "rich_text/rich_text_box.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace support {

inline QLineEdit *lineEdit(const Form1 &form, const char *name)
{
    return form.findChild<QLineEdit *>(QLatin1String(name));
}

inline QPushButton *button(const Form1 &form, const char *name)
{
    return form.findChild<QPushButton *>(QLatin1String(name));
}

inline connections::SocketControl &envia(const Form1 &form)
{
    return *form.findChild<connections::SocketControl *>(QStringLiteral("WSCEnvia"));
}

inline connections::SocketArray &recibe(const Form1 &form)
{
    return *form.findChild<connections::SocketArray *>(QStringLiteral("WSCRecibe"));
}

// The named control that has the focus; the transcript's inner view counts
// as the transcript.
inline QString focusedControl(const QWidget &window)
{
    for (QWidget *w = window.focusWidget(); w && w != &window; w = w->parentWidget()) {
        if (!w->objectName().isEmpty())
            return w->objectName();
    }
    return QString();
}

inline QString caption(const QString &address, const char *word)
{
    return address + QStringLiteral(" - ") + QLatin1String(word);
}

// Types an address and clicks "Conectar", as the user does.
inline void connectTo(Form1 &form, const QString &address)
{
    QLineEdit *ip = lineEdit(form, "TxtIp");
    ip->clear();
    QTest::keyClicks(ip, address);
    QTest::mouseClick(button(form, "CmdConectar"), Qt::LeftButton);
}

inline rich_text::RichTextBox &transcript(const Form1 &form)
{
    return *form.findChild<rich_text::RichTextBox *>(QStringLiteral("TxtTexto"));
}

// The transcript's plain text: each entry preceded by CR LF.
inline QString transcriptText(const Form1 &form)
{
    return transcript(form).text().toString();
}

// Colour at a plain-text position, as &HBBGGRR.
inline quint32 transcriptColor(const Form1 &form, qint64 position)
{
    return transcript(form).colorAt(position);
}

// Types any text key by key; QTest::keyClicks knows only ASCII.
inline void typeText(QWidget *widget, const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() < 0x80 && c.isPrint())
            QTest::keyClick(widget, c.toLatin1());
        else
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

// Types a message and presses Enter, as the user does.
inline void typeAndEnter(Form1 &form, const QString &text)
{
    QLineEdit *box = lineEdit(form, "TxtMensaje");
    typeText(box, text);
    QTest::keyClick(box, Qt::Key_Return);
}

} // namespace support
