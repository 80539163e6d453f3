#include "support.h"

#include <QColor>
#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include <unistd.h>

namespace chat_bench {

// ---------------------------------------------------------------- utilities

qint64 g_mainNs = 0;

qint64 nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

QHostAddress addr(int last) { return QHostAddress(QStringLiteral("127.0.0.%1").arg(last)); }

// ------------------------------------------------------ texts peers send

QByteArray mixedText(qsizetype bytes, quint32 seed)
{
    static constexpr const char *kWide[] = {"ñ", "á", "é", "¿", "€", "中", "😀"};
    QRandomGenerator random(seed);
    QByteArray out;
    out.reserve(bytes + 4);
    while (out.size() < bytes) {
        if (random.bounded(10) == 0)
            out += kWide[random.bounded(7)];
        else
            out += char(0x20 + random.bounded(0x5F));
    }
    return out;
}

QByteArray asciiText(qsizetype bytes, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray out;
    out.reserve(bytes);
    while (out.size() < bytes)
        out += char(0x20 + random.bounded(0x5F));
    return out;
}

QByteArray hebrewAndLatinText(qsizetype bytes, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray out;
    out.reserve(bytes + 8);
    while (out.size() < bytes) {
        for (int i = random.bounded(2, 8); i > 0; --i)
            out += QString(QChar(0x05D0 + random.bounded(27))).toUtf8();
        out += ' ';
        for (int i = random.bounded(2, 8); i > 0; --i)
            out += char('a' + random.bounded(26));
        out += ' ';
    }
    out.truncate(bytes);
    return out;
}

QByteArray repeatedText(QByteArrayView unit, qsizetype bytes)
{
    QByteArray out;
    out.reserve(bytes + unit.size());
    while (out.size() < bytes)
        out += unit;
    out.truncate(bytes);
    return out;
}

bool connectToChat(QTcpSocket &socket, const QHostAddress &from, const QHostAddress &to)
{
    socket.bind(from, 0, QAbstractSocket::ReuseAddressHint);
    socket.connectToHost(to, Form1::PuertoChat);
    return socket.waitForConnected(5000);
}

qint64 procStatus(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void say(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void quietBoxes(Form1 &f)
{
    f.setCuadroInformativo([](QWidget *, const QString &, const QString &) {});
}

Spread spread(std::vector<qint64> ns)
{
    Spread s;
    if (ns.empty())
        return s;
    std::sort(ns.begin(), ns.end());
    auto at
        = [&](double q) { return ns[std::min(ns.size() - 1, size_t(std::ceil(q * double(ns.size())) - 1))] / 1000.0; };
    s.median = ns.size() % 2 ? ns[ns.size() / 2] / 1000.0 : (ns[ns.size() / 2 - 1] + ns[ns.size() / 2]) / 2000.0;
    s.p99 = at(0.99);
    s.max = ns.back() / 1000.0;
    s.count = int(ns.size());
    return s;
}

// ------------------------------------------------------------ the table

namespace {

struct Row {
    QString figure, measured, baseline, target, met;
};
std::vector<Row> g_rows;
std::vector<QString> g_notes;

} // namespace

void row(const QString &figure, const QString &measured, const QString &baseline, const QString &target,
         const QString &met)
{
    g_rows.push_back({figure, measured, baseline, target, met});
    say(QStringLiteral("  %1: %2  (baseline %3)").arg(figure, measured, baseline));
}

void note(const QString &text) { g_notes.push_back(text); }

QString us(double v)
{
    return v >= 10000 ? QStringLiteral("%1 ms").arg(v / 1000, 0, 'f', 1) : QStringLiteral("%1 µs").arg(v, 0, 'f', 0);
}
QString ms(double v) { return QStringLiteral("%1 ms").arg(v, 0, 'f', v < 10 ? 2 : 1); }
QString mib(double kib) { return QStringLiteral("%1 MiB").arg(kib / 1024.0, 0, 'f', 1); }
QString yesNo(bool ok, const QString &how)
{
    return (ok ? QStringLiteral("yes") : QStringLiteral("NO"))
        + (how.isEmpty() ? QString() : QStringLiteral(" (") + how + QLatin1Char(')'));
}

void printTable()
{
    const QStringList head{QStringLiteral("figure"), QStringLiteral("measured"), QStringLiteral("baseline (same run)"),
                           QStringLiteral("target"), QStringLiteral("met?")};
    std::vector<int> width(5);
    auto cells = [](const Row &r) { return QStringList{r.figure, r.measured, r.baseline, r.target, r.met}; };
    for (int c = 0; c < 5; ++c)
        width[c] = int(head[c].size());
    for (const Row &r : g_rows) {
        const QStringList cs = cells(r);
        for (int c = 0; c < 5; ++c)
            width[c] = std::max(width[c], int(cs[c].size()));
    }
    auto line = [&](const QStringList &cs) {
        QString out = QStringLiteral("|");
        for (int c = 0; c < 5; ++c)
            out += QLatin1Char(' ') + cs[c].leftJustified(width[c]) + QStringLiteral(" |");
        say(out);
    };
    say(QString());
    line(head);
    QStringList rule;
    for (int c = 0; c < 5; ++c)
        rule << QString(width[c], QLatin1Char('-'));
    say(QStringLiteral("|") + rule.join(QStringLiteral("-|-")).prepend(QLatin1Char('-')) + QStringLiteral("-|"));
    for (const Row &r : g_rows)
        line(cells(r));
    say(QString());
    for (const QString &n : g_notes)
        say(QStringLiteral("* ") + n);
}

// ------------------------------------------------------- helper processes

namespace {

// "key=value key=value" as printed by the helper processes.
QMap<QString, QString> parseFields(const QString &text)
{
    QMap<QString, QString> fields;
    for (const QString &word : text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
        const qsizetype eq = word.indexOf(QLatin1Char('='));
        if (eq > 0)
            fields.insert(word.left(eq), word.mid(eq + 1));
    }
    return fields;
}

} // namespace

Helper::Helper(const QStringList &args)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
        m_buffer += m_process.readAllStandardOutput();
        qsizetype nl;
        while ((nl = m_buffer.indexOf('\n')) >= 0) {
            m_lines << QString::fromUtf8(m_buffer.left(nl));
            m_buffer.remove(0, nl + 1);
        }
    });
    m_startedNs = nowNs();
    m_process.start(QCoreApplication::applicationFilePath(), args);
}

Helper::~Helper()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
}

namespace {

bool startsWithWord(const QString &line, const QString &word)
{
    return line.startsWith(word + QLatin1Char(' ')) || line == word;
}

} // namespace

QMap<QString, QString> Helper::line(const QString &word) const
{
    for (const QString &l : m_lines) {
        if (startsWithWord(l, word)) {
            QMap<QString, QString> found = parseFields(l);
            found.insert(QStringLiteral("_"), word);
            return found;
        }
    }
    return {};
}

QMap<QString, QString> Helper::take(const QString &word, int timeoutMs)
{
    QMap<QString, QString> found;
    waitUntil(
        [&] {
            const auto at = std::find_if(m_lines.begin(), m_lines.end(),
                                         [&](const QString &l) { return startsWithWord(l, word); });
            if (at != m_lines.end()) {
                found = parseFields(*at);
                m_lines.erase(at);
                return true;
            }
            return m_process.state() == QProcess::NotRunning && !m_process.bytesAvailable();
        },
        timeoutMs);
    return found;
}

QMap<QString, QString> Helper::await(const QString &word, int timeoutMs)
{
    QMap<QString, QString> found;
    waitUntil(
        [&] {
            found = line(word);
            return !found.isEmpty() || (m_process.state() == QProcess::NotRunning && !m_process.bytesAvailable());
        },
        timeoutMs);
    if (found.isEmpty()) {
        std::fprintf(stderr, "chat_bench: helper %s gave no '%s' line; its stderr:\n%s\n",
                     qPrintable(m_process.arguments().join(QLatin1Char(' '))), qPrintable(word),
                     m_process.readAllStandardError().constData());
    }
    return found;
}

bool Helper::finish(int timeoutMs)
{
    return waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
}

StdinLines::StdinLines(std::function<void(const QByteArray &)> onLine)
    : m_notifier(STDIN_FILENO, QSocketNotifier::Read)
    , m_onLine(std::move(onLine))
{
    connect(&m_notifier, &QSocketNotifier::activated, this, [this] {
        char chunk[512];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            m_notifier.setEnabled(false);
            m_onLine("eof");
            return;
        }
        m_buffer.append(chunk, n);
        qsizetype nl;
        while ((nl = m_buffer.indexOf('\n')) >= 0) {
            const QByteArray line = m_buffer.left(nl);
            m_buffer.remove(0, nl + 1);
            m_onLine(line);
        }
    });
}

// ------------------------------------------------------------ baselines

PlainWindow::PlainWindow()
{
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(log);
    layout->addWidget(input);
    log->setReadOnly(true);
    window.resize(385, 391);
}

void PlainWindow::appendReceived(const QString &text)
{
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat blue;
    blue.setForeground(QColor(0x55, 0x55, 0xFF));
    cursor.insertBlock();
    cursor.insertText(text, blue);
}

// -------------------------------------------------------------- groups

namespace {

std::vector<Group> &registry()
{
    static std::vector<Group> all;
    return all;
}

} // namespace

GroupRegistration::GroupRegistration(Group group)
{
    std::vector<Group> &all = registry();
    const auto after = std::upper_bound(all.begin(), all.end(), group.number,
                                        [](int number, const Group &g) { return number < g.number; });
    all.insert(after, std::move(group));
}

const std::vector<Group> &groups() { return registry(); }

} // namespace chat_bench
