// Driven under valgrind by CTest: the window's start-up and one short
// conversation between two copies over loopback, then an orderly end.
// Exits 0 when the conversation went through, 1 otherwise.

#include "support/window.h"

#include "connections/lingering_connections.h"
#include "connections/socket_control.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

#include <cstdio>

using namespace support;

namespace {

// Valgrind runs everything tens of times slower; the limits are generous.
constexpr int kStepTimeoutMs = 60000;

bool waitForStep(const std::function<bool()> &done) { return waitUntil(done, kStepTimeoutMs); }

void say(Form1 &form, const QString &text)
{
    QLineEdit *box = lineEdit(form, "TxtMensaje");
    box->setText(text);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QCoreApplication::sendEvent(box, &press);
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
    connections::LingeringConnections lingering;
    Form1 a(lingering, QHostAddress(QStringLiteral("127.0.0.2")));
    Form1 b(lingering, QHostAddress(QStringLiteral("127.0.0.3")));
    a.show();
    b.show();
    lineEdit(a, "TxtIp")->setText(QStringLiteral("127.0.0.3"));
    button(a, "CmdConectar")->click();
    if (!waitForStep(
            [&] { return envia(a).State() == connections::Connected && envia(b).State() == connections::Connected; }))
        return fail("the link both ways");

    say(a, QStringLiteral("Hola, ¿qué tal? {\\b}"));
    if (!waitForStep([&] { return transcriptText(b).contains(QStringLiteral("Hola, ¿qué tal? {\\b}")); }))
        return fail("the first message");
    say(b, QStringLiteral("Muy bien 😀"));
    if (!waitForStep([&] { return transcriptText(a).contains(QStringLiteral("Muy bien 😀")); }))
        return fail("the answer");

    button(a, "CmdDesconectar")->click();
    button(b, "CmdDesconectar")->click();
    // The program's own end: what was sent is delivered and every connection
    // ends in order.
    if (!connections::finishConnections(a, lingering) || !connections::finishConnections(b, lingering))
        return fail("the orderly end");
    return 0;
}
