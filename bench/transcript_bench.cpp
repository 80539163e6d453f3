// Cost of appending chat entries to the transcript, per entry, for our
// control driven by the chat window's append sequence and for a bare
// QTextEdit appending through a QTextCursor. Each configuration runs in its
// own process so memory figures do not mix.
//
//   transcript_bench                 run every configuration, print a table
//   transcript_bench ours|bare N     one configuration

#include "messages/rtf_literal.h"
#include "rich_text/rich_text_box.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>

#include <unistd.h>

#include <cstdio>
#include <fstream>

using rich_text::RichTextBox;
using rich_text::Rope;

namespace {

constexpr quint32 kReceivedBgr = 0xFF5555;

QFont chatFont()
{
    QFont font(QStringLiteral("Sans Serif"));
    font.setPointSizeF(9.75);
    return font;
}

qint64 residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    qint64 size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

QString message(int i)
{
    QString m = QStringLiteral("Message %1: ").arg(i);
    while (m.size() < 60)
        m += QChar(char16_t(u'a' + (m.size() * 7 + i) % 26));
    return m;
}

// The chat window's transcript, exactly as it appends.
class ChatTranscript {
public:
    explicit ChatTranscript(RichTextBox* box) : TxtTexto(box) {}

    void AnexarRtf(const Rope& tail)
    {
        TxtTexto->setText(TxtTexto->textRtf());
        const Rope keep = TxtTexto->text();
        const qint64 n = TxtTexto->text().length() - 3;
        TxtTexto->setText(keep.left(n) + tail + Rope(u"}"));
        TxtTexto->setTextRtf(TxtTexto->text());
    }
    void AgregarEnviado(const QString& msg)
    {
        PosTexto += msg.length() + 2;
        AnexarRtf(messages::rtfLiteral(msg));
    }
    void AgregarRecibido(const QString& msg)
    {
        AnexarRtf(Rope("\r\n") + messages::rtfLiteral(msg));
        TxtTexto->setSelStart(qint32(PosTexto));
        TxtTexto->setSelLength(qint32(msg.length() + 2));
        TxtTexto->setSelColor(kReceivedBgr);
        PosTexto += msg.length() + 2;
    }

private:
    RichTextBox* TxtTexto;
    qint64 PosTexto = 0;
};

struct Result {
    double microsPerEntry = 0;
    double microsPerEntryLastTenth = 0;
    qint64 rssDelta = 0;
};

template <typename AppendEntry>
Result measure(int entries, AppendEntry&& append)
{
    Result r;
    QElapsedTimer timer;
    timer.start();
    qint64 lastTenthStart = 0;
    for (int i = 0; i < entries; ++i) {
        if (i == entries - entries / 10)
            lastTenthStart = timer.nsecsElapsed();
        append(i);
        QCoreApplication::processEvents();
    }
    const qint64 total = timer.nsecsElapsed();
    r.microsPerEntry = total / 1000.0 / entries;
    r.microsPerEntryLastTenth = (total - lastTenthStart) / 1000.0 / (entries / 10);
    return r;
}

Result runOurs(int entries)
{
    const qint64 rssBefore = residentBytes();
    RichTextBox box;
    box.setGeometry(0, 0, 640, 400);
    box.setFont(chatFont());
    box.setBackgroundColor(Qt::white);
    box.show();
    QCoreApplication::processEvents();
    ChatTranscript chat(&box);
    Result r = measure(entries, [&chat](int i) {
        i % 2 ? chat.AgregarRecibido(message(i)) : chat.AgregarEnviado(message(i));
    });
    r.rssDelta = residentBytes() - rssBefore;
    return r;
}

Result runBare(int entries)
{
    const qint64 rssBefore = residentBytes();
    QTextEdit edit;
    edit.setGeometry(0, 0, 640, 400);
    edit.setFont(chatFont());
    edit.setReadOnly(true);
    edit.setUndoRedoEnabled(false);
    edit.show();
    QCoreApplication::processEvents();
    QTextCharFormat plain;
    plain.setForeground(Qt::black);
    QTextCharFormat received;
    received.setForeground(QColor(85, 85, 255));
    Result r = measure(entries, [&](int i) {
        QTextCursor c(edit.document());
        c.movePosition(QTextCursor::End);
        c.insertBlock();
        c.insertText(message(i), i % 2 ? received : plain);
        edit.verticalScrollBar()->setValue(edit.verticalScrollBar()->maximum());
    });
    r.rssDelta = residentBytes() - rssBefore;
    return r;
}

int runOne(const QString& which, int entries)
{
    const Result r = which == u"ours" ? runOurs(entries) : runBare(entries);
    std::printf("%.2f %.2f %lld\n", r.microsPerEntry, r.microsPerEntryLastTenth, qlonglong(r.rssDelta));
    return 0;
}

int runAll(const QString& self)
{
    std::printf("%-6s %8s %14s %22s %12s\n", "view", "entries", "us/entry", "us/entry (last 10%)", "RSS delta");
    for (const char* which : {"ours", "bare"}) {
        for (int entries : {1000, 10000, 100000}) {
            QProcess p;
            p.start(self, {QString::fromLatin1(which), QString::number(entries)});
            p.waitForFinished(-1);
            const QStringList f = QString::fromLatin1(p.readAllStandardOutput()).split(u' ');
            if (f.size() != 3) {
                std::printf("%-6s %8d failed\n", which, entries);
                continue;
            }
            std::printf("%-6s %8d %14s %22s %9.1f MB\n", which, entries, qPrintable(f[0]), qPrintable(f[1]),
                        f[2].toDouble() / (1024.0 * 1024.0));
            std::fflush(stdout);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3)
        return runOne(args[1], args[2].toInt());
    return runAll(args[0]);
}
