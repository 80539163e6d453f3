// Driven under valgrind by CTest: the window's start-up and one short
// conversation between two copies over loopback, then an orderly end.
// Exits 0 when the conversation went through, 1 otherwise.

#include "connections/socket_control.h"
#include "main_window/form1.h"
#include "rich_text/rich_text_box.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

// Valgrind runs everything tens of times slower; the limits are generous.
constexpr int kStepTimeoutMs = 60000;

bool waitUntil(const std::function<bool()> &done)
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.start(50);
    while (!done()) {
        if (clock.elapsed() > kStepTimeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

template <typename T>
T *child(const Form1 &form, const char *name)
{
    return form.findChild<T *>(QLatin1String(name));
}

void say(Form1 &form, const QString &text)
{
    QLineEdit *box = child<QLineEdit>(form, "TxtMensaje");
    box->setText(text);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QCoreApplication::sendEvent(box, &press);
}

QString shown(const Form1 &form)
{
    return child<rich_text::RichTextBox>(form, "TxtTexto")->text().toString();
}

int fail(const char *step)
{
    std::fprintf(stderr, "valgrind_conversation: %s did not happen\n", step);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    Form1 a(QHostAddress(QStringLiteral("127.0.0.196")));
    Form1 b(QHostAddress(QStringLiteral("127.0.0.197")));
    a.show();
    b.show();
    auto linkState = [](const Form1 &f) { return child<connections::SocketControl>(f, "WSCEnvia")->State(); };

    child<QLineEdit>(a, "TxtIp")->setText(QStringLiteral("127.0.0.197"));
    child<QPushButton>(a, "CmdConectar")->click();
    if (!waitUntil([&] { return linkState(a) == connections::Connected && linkState(b) == connections::Connected; }))
        return fail("the link both ways");

    say(a, QStringLiteral("Hola, ¿qué tal? {\\b}"));
    if (!waitUntil([&] { return shown(b).contains(QStringLiteral("Hola, ¿qué tal? {\\b}")); }))
        return fail("the first message");
    say(b, QStringLiteral("Muy bien 😀"));
    if (!waitUntil([&] { return shown(a).contains(QStringLiteral("Muy bien 😀")); }))
        return fail("the answer");

    child<QPushButton>(a, "CmdDesconectar")->click();
    child<QPushButton>(b, "CmdDesconectar")->click();
    QElapsedTimer settle;
    settle.start();
    waitUntil([&] { return settle.elapsed() > 200; });
    return 0;
}
