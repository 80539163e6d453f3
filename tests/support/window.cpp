#include "window.h"

#include "support/own_network.h"
#include "support/raw_peer.h"

#include "connections/open_file_limit.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "rich_text/rich_text_box.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace support {

void WindowTestCase::initTestCase()
{
    QVERIFY2(inOwnNetwork(), kOwnNetworkAdvice);
    connections::raiseOpenFileLimit(4096);
}

QLineEdit *lineEdit(const Form1 &form, const char *name) { return form.findChild<QLineEdit *>(QLatin1String(name)); }

QPushButton *button(const Form1 &form, const char *name) { return form.findChild<QPushButton *>(QLatin1String(name)); }

connections::SocketControl &envia(const Form1 &form)
{
    return *form.findChild<connections::SocketControl *>(QStringLiteral("WSCEnvia"));
}

connections::SocketArray &recibe(const Form1 &form)
{
    return *form.findChild<connections::SocketArray *>(QStringLiteral("WSCRecibe"));
}

rich_text::RichTextBox &transcript(const Form1 &form)
{
    return *form.findChild<rich_text::RichTextBox *>(QStringLiteral("TxtTexto"));
}

QTimer &captionTimer(const Form1 &form) { return *form.findChild<QTimer *>(QStringLiteral("Timer1")); }

QString focusedControl(const QWidget &window)
{
    for (QWidget *w = window.focusWidget(); w && w != &window; w = w->parentWidget()) {
        if (!w->objectName().isEmpty())
            return w->objectName();
    }
    return QString();
}

void connectTo(Form1 &form, const QString &address)
{
    QLineEdit *ip = lineEdit(form, "TxtIp");
    ip->clear();
    QTest::keyClicks(ip, address);
    QTest::mouseClick(button(form, "CmdConectar"), Qt::LeftButton);
}

void typeText(QWidget *widget, const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() < 0x80 && c.isPrint())
            QTest::keyClick(widget, c.toLatin1());
        else
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

void typeAndEnter(Form1 &form, const QString &text)
{
    QLineEdit *box = lineEdit(form, "TxtMensaje");
    typeText(box, text);
    QTest::keyClick(box, Qt::Key_Return);
}

QString transcriptText(const Form1 &form) { return transcript(form).text().toString(); }

QStringList entries(const Form1 &form)
{
    QStringList parts = transcriptText(form).split(QStringLiteral("\r\n"));
    parts.removeFirst();
    return parts;
}

QString shownText(const Form1 &form) { return transcriptText(form).remove(QStringLiteral("\r\n")); }

quint32 transcriptColor(const Form1 &form, qint64 position) { return transcript(form).colorAt(position); }

QString caption(const QString &address, const char *word)
{
    return address + QStringLiteral(" - ") + QLatin1String(word);
}

bool captionComesBack(Form1 &form, const QString &address, const char *word)
{
    form.setWindowTitle(QStringLiteral("(sin título)"));
    const QString expected = caption(address, word);
    return QTest::qWaitFor([&] { return form.windowTitle() == expected; }, 3000);
}

bool listening(const Form1 &form) { return recibe(form)(0).State() == connections::Listening; }

QString whyNotTakenIn(const Form1 &window, const RawPeer &peer, int slot)
{
    if (!listening(window))
        return QStringLiteral("the window does not listen");
    if (!peer.connected())
        return QStringLiteral("the peer did not connect");
    if (!waitUntil([&] { return window.slotOcupado(slot); }, 5000))
        return QStringLiteral("the window did not take the peer into slot %1").arg(slot);
    return QString();
}

QString firstDifference(const QString &shown, const QString &sent)
{
    qsizetype i = 0;
    const qsizetype n = std::min(shown.size(), sent.size());
    while (i < n && shown[i] == sent[i])
        ++i;
    return QStringLiteral("shown %1 units, sent %2; first difference at %3: shown \"%4\", sent \"%5\"")
        .arg(shown.size())
        .arg(sent.size())
        .arg(i)
        .arg(shown.mid(i, 24), sent.mid(i, 24));
}

void processPendingEvents() { QCoreApplication::processEvents(); }

// A slow repeating timer keeps the loop from sleeping past the deadline.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.start(100);
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace support
