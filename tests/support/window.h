#pragma once
// A Form1 as the tests and the benchmarks reach it: its controls by name, as
// a person finds them by sight, typing into it, and what its transcript and
// caption show.

#include "connections/lingering_connections.h"
#include "main_window/form1.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QLineEdit;
class QPushButton;
class QTimer;

namespace connections {
class SocketArray;
class SocketControl;
} // namespace connections

namespace rich_text {
class RichTextBox;
} // namespace rich_text

namespace support {

class RawPeer;

// The start of every test of whole windows on the test's own network: the
// namespace is checked and the open-file limit raised once, and the
// lingering connections that every window and socket of the test hands over
// outlive them all.
class WindowTestCase : public QObject {
    Q_OBJECT
protected:
    connections::LingeringConnections m_lingering;

private slots:
    void initTestCase();
};

inline QHostAddress address(const char *text) { return QHostAddress(QLatin1String(text)); }

QLineEdit *lineEdit(const Form1 &form, const char *name);
QPushButton *button(const Form1 &form, const char *name);
connections::SocketControl &envia(const Form1 &form);
connections::SocketArray &recibe(const Form1 &form);
rich_text::RichTextBox &transcript(const Form1 &form);
QTimer &captionTimer(const Form1 &form);

// The named control that has the focus; the transcript's inner view counts
// as the transcript.
QString focusedControl(const QWidget &window);

// Types an address and clicks "Conectar", as the user does.
void connectTo(Form1 &form, const QString &address);

// Types any text key by key; QTest::keyClicks knows only ASCII.
void typeText(QWidget *widget, const QString &text);

// Types a message and presses Enter, as the user does.
void typeAndEnter(Form1 &form, const QString &text);

// The transcript's plain text: each entry preceded by CR LF.
QString transcriptText(const Form1 &form);

// Each entry of the transcript, without the CR LF that precedes it.
QStringList entries(const Form1 &form);

// What the transcript shows with the CR LF before each entry taken out: for
// peers that send no line breaks, exactly the text they sent.
QString shownText(const Form1 &form);

// Colour at a plain-text position, as &HBBGGRR.
quint32 transcriptColor(const Form1 &form, qint64 position);

// The status caption: address, " - ", status word.
QString caption(const QString &address, const char *word);

// The caption is rewritten on every tick: a caption changed behind the
// window's back comes back within a tick or two.
bool captionComesBack(Form1 &form, const QString &address, const char *word);

// The window's listener is up; when it is not, another program holds the
// chat's port on that address (or on every address) and nothing else can work.
bool listening(const Form1 &form);

// Empty when the window listens and has taken `peer` into slot `slot`
// (waiting up to five seconds for it); else what went wrong.
QString whyNotTakenIn(const Form1 &window, const RawPeer &peer, int slot = 1);

// Where two texts first differ, for a failure message that stays short.
QString firstDifference(const QString &shown, const QString &sent);

// Lets the event loop deliver what is already due (posted events and calls,
// sockets with something to read) without waiting for anything new: before
// checking that something did not happen, whatever the last handler set off
// has run.
void processPendingEvents();

// Runs the event loop until `done` holds or `timeoutMs` has passed; true when
// it holds. It wakes on events, not on a polling interval, so that the
// benchmarks can time what happens while it waits.
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

} // namespace support
