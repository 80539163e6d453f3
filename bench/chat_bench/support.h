#pragma once

// What the chat_bench groups share: clocks, the table every figure goes to,
// the helper processes the bench starts from its own binary, the plain
// QTextEdit chat used as a baseline, and the list of groups. Reaching a
// window's controls and waiting on the event loop come from the tests'
// support library.

#include "support/window.h"

#include "connections/lingering_connections.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "main_window/form1.h"
#include "rich_text/rich_text_box.h"

#include <QHostAddress>
#include <QLineEdit>
#include <QMap>
#include <QProcess>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTextEdit>
#include <QWidget>

#include <functional>
#include <vector>

namespace chat_bench {

using support::button;
using support::captionTimer;
using support::envia;
using support::lineEdit;
using support::recibe;
using support::transcript;
using support::waitUntil;

// ---------------------------------------------------------------- utilities

// CLOCK_MONOTONIC is the same clock in every process, so a helper's
// timestamps compare with ours.
qint64 nowNs();

// When main() was entered; a window helper reports it.
extern qint64 g_mainNs;

// 127.0.0.`last`.
QHostAddress addr(int last);

// ------------------------------------------------------ loopback addresses

// The loopback addresses of the bench, by the last byte of 127.0.0.x: a
// window (or the plain baseline, or copy A) and the peer it talks to (or copy
// B). Every one serves one purpose only, so that what a measurement leaves
// behind, a connection in TIME_WAIT on the chat port say, never meets
// another one.
struct Ends {
    int window;
    int peer;
};
namespace loopback {
inline constexpr Ends kLatency{1, 2}; // also the raw socket pair
inline constexpr Ends kFloodForm{7, 8};
inline constexpr Ends kFloodPlain{9, 10};
inline constexpr Ends kAcceptForm{11, 12};
inline constexpr Ends kAcceptPlain{13, 14};
inline constexpr int kStartForm = 15;
inline constexpr int kStartPlain = 16;
inline constexpr int kIdleForm = 17;
inline constexpr int kIdlePlain = 18;
inline constexpr Ends kAnswerForm{21, 22};
inline constexpr Ends kAnswerPlain{23, 24};
inline constexpr Ends kPasteForm{25, 26};
inline constexpr Ends kPastePlain{27, 28};
inline constexpr Ends kAccessibility{29, 30};  // copies A and B
inline constexpr int kAccessibilityFlood = 31; // the socket that floods B
} // namespace loopback

// ------------------------------------------------------ texts peers send

// The same in every run (a fixed seed), so that runs compare.
inline constexpr quint32 kTextSeed = 20261208;

// UTF-8 without line breaks, mostly ASCII with two- to four-byte characters
// mixed in, as people write.
QByteArray mixedText(qsizetype bytes, quint32 seed = kTextSeed);
// Printable ASCII, RTF's own \ { } among it.
QByteArray asciiText(qsizetype bytes, quint32 seed = kTextSeed);
// A Hebrew word, a Latin word, and so on: the direction changes at every word.
QByteArray hebrewAndLatinText(qsizetype bytes, quint32 seed = kTextSeed);
// `unit` over and over (a line break, say), cut to `bytes`.
QByteArray repeatedText(QByteArrayView unit, qsizetype bytes);

// Connects `socket` from `from` to the chat port at `to`, waiting up to 5 s.
bool connectToChat(QTcpSocket &socket, const QHostAddress &from, const QHostAddress &to);

// A line of /proc/self/status, in KiB (VmRSS, VmHWM) or as a count.
qint64 procStatus(const char *key);

// A line on standard output, flushed at once.
void say(const QString &line);

void quietBoxes(Form1 &f);

struct Spread {
    double median = 0, p99 = 0, max = 0; // microseconds
    int count = 0;
};

Spread spread(std::vector<qint64> ns);

// ------------------------------------------------------------ the table

// A row of the table, also printed at once as the group measures it.
void row(const QString &figure, const QString &measured, const QString &baseline, const QString &target,
         const QString &met);
// A note printed under the table.
void note(const QString &text);
void printTable();

QString us(double v);
QString ms(double v);
QString mib(double kib);
QString yesNo(bool ok, const QString &how = QString());

// ------------------------------------------------------- helper processes

// A helper process started by the bench from its own binary: lines it prints
// are gathered, and the bench waits for one that starts with a given word.
class Helper {
public:
    explicit Helper(const QStringList &args);
    ~Helper();
    qint64 startedNs() const { return m_startedNs; }
    // The fields of the first line that starts with `word`, waiting for it.
    QMap<QString, QString> await(const QString &word, int timeoutMs);
    // The same without waiting: empty when no such line has come yet.
    QMap<QString, QString> line(const QString &word) const;
    // The fields of the next line that starts with `word`, waiting for it; the
    // line is taken, so that a helper's repeated lines are read one by one.
    QMap<QString, QString> take(const QString &word, int timeoutMs);
    void tell(const QByteArray &line) { m_process.write(line + '\n'); }
    bool finish(int timeoutMs);

private:
    QProcess m_process;
    QByteArray m_buffer;
    QStringList m_lines;
    qint64 m_startedNs = 0;
};

// Lines the parent writes to a helper's standard input; "eof" when it closes.
class StdinLines : public QObject {
public:
    explicit StdinLines(std::function<void(const QByteArray &)> onLine);

private:
    QSocketNotifier m_notifier;
    QByteArray m_buffer;
    std::function<void(const QByteArray &)> m_onLine;
};

// ------------------------------------------------------------ baselines

// The chat done the plain way: a line edit and a QTextEdit; what is received
// is appended as a new paragraph in colour.
struct PlainWindow {
    QWidget window;
    QLineEdit *input = new QLineEdit(&window);
    QTextEdit *log = new QTextEdit(&window);

    PlainWindow();
    void appendReceived(const QString &text);
};

// -------------------------------------------------------------- groups

// A command line of a helper process: `chat_bench <flag> <args...>`.
struct HelperMode {
    const char *flag;
    bool needsWindows; // QApplication rather than QCoreApplication
    int (*run)(const QStringList &args);
};

// A group of figures, run by `chat_bench` or `chat_bench <name>`. Groups run
// in the order of their numbers, which also number their rows.
struct Group {
    int number;
    const char *name;
    void (*run)();
    std::vector<HelperMode> helpers;
};

// Each group's file registers its group with one of these at start-up.
struct GroupRegistration {
    explicit GroupRegistration(Group group);
};

const std::vector<Group> &groups();

} // namespace chat_bench
