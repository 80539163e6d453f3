// A window whose network announces a thousand copies at once, with the
// oddest names DNS-SD lets through, addresses that change every round and
// malformed packets in between, through a real avahi-daemon
// (tests/discovery/hostile_announcer.sh makes the network and gives the
// announcer's command in VZ_ANNOUNCER). The window keeps no more copies than
// its bound, shows only clean names with the announced addresses, leaves the
// address box alone, and still converses afterwards.
#include "discovery/found_copies.h"
#include "main_window/form1.h"
#include "support/foreign_peer.h"
#include "support/window.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QSet>
#include <QTest>
#include <QTimer>

#include <algorithm>

using discovery::FoundCopies;

class TestHostileAnnouncer : public support::WindowTestCase {
    Q_OBJECT
private slots:
    void floodLeavesTheWindowAsItWas();
};

namespace {

// What is wrong with a row, or empty: a shown name is clean and short, and
// the address is one the announcer gave.
QString whatIsWrong(const QString &row, const QString &address, const QSet<QString> &announced)
{
    if (!announced.contains(address))
        return QStringLiteral("address %1 was never announced").arg(address);
    // A name left empty by the cleaning shows as the address alone.
    const QString suffix = QStringLiteral(" — ") + address;
    QString name;
    if (row != address) {
        if (!row.endsWith(suffix) || row.size() == suffix.size())
            return QStringLiteral("not 'name — address'");
        name = row.chopped(suffix.size());
    }
    if (name.size() > FoundCopies::kMaxNameChars)
        return QStringLiteral("name of %1 characters").arg(name.size());
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return QStringLiteral("character U+%1 in the name").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return {};
}

int s_leftOutNotices = 0;

void countLeftOut(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (message.startsWith(QStringLiteral("Hay más de")))
        ++s_leftOutNotices;
}

} // namespace

void TestHostileAnnouncer::floodLeavesTheWindowAsItWas()
{
    const QString announcer = QString::fromLocal8Bit(qgetenv("VZ_ANNOUNCER"));
    const QStringList addresses
        = QString::fromLatin1(qgetenv("VZ_ANNOUNCED_ADDRESSES")).split(u' ', Qt::SkipEmptyParts);
    if (announcer.isEmpty() || addresses.isEmpty())
        QSKIP("run through tests/discovery/hostile_announcer.sh, which makes the network and the announcer");
    const QSet<QString> announced(addresses.begin(), addresses.end());

    // On the loopback only, so that the peer below can listen on the chat's
    // port of another loopback address; the copy browses all the same.
    Form1 form(m_lingering, support::address("127.0.0.1"));
    form.show();
    QVERIFY(support::listening(form));
    QLineEdit *box = support::lineEdit(form, "TxtIp");
    const QString boxBefore = box->text();
    FoundCopies &found = form.copiasEncontradas();

    // The bounds are checked at every rebuild of the rows and every 5 ms in
    // between, the rows' contents at every rebuild.
    int mostKept = 0;
    int mostRows = 0;
    QStringList wrongRows;
    // Parts of the announcer's odd names (control characters, a direction
    // override, line breaks): their rows were among those checked.
    const QStringList oddParts{QStringLiteral("rojo"), QStringLiteral("gnp.exe"), QStringLiteral("linea2")};
    QSet<QString> oddSeen;
    const auto look = [&] {
        mostKept = std::max(mostKept, found.kept());
        mostRows = std::max(mostRows, found.rowCount());
    };
    connect(&found, &QAbstractItemModel::modelReset, this, [&] {
        look();
        for (int row = 0; row < found.rowCount() && wrongRows.size() < 10; ++row) {
            const QModelIndex index = found.index(row);
            const QString text = index.data().toString();
            const QString why = whatIsWrong(text, index.data(FoundCopies::AddressRole).toString(), announced);
            if (!why.isEmpty())
                wrongRows << QStringLiteral("%1 (%2)").arg(text.toHtmlEscaped(), why);
            for (const QString &odd : oddParts) {
                if (text.contains(odd))
                    oddSeen.insert(odd);
            }
        }
    });
    // The window's thread never stands still for seconds: the daemon's
    // slow answers under the flood are waited for on another thread.
    QElapsedTimer sinceLastTick;
    qint64 longestStillMs = 0;
    QTimer sampler;
    sampler.setInterval(5);
    connect(&sampler, &QTimer::timeout, this, [&] {
        longestStillMs = std::max(longestStillMs, sinceLastTick.restart());
        look();
    });
    sinceLastTick.start();
    sampler.start();

    s_leftOutNotices = 0;
    const QtMessageHandler previous = qInstallMessageHandler(countLeftOut);
    const auto announce = [](const QString &command) {
        QProcess announcing;
        announcing.setProcessChannelMode(QProcess::ForwardedChannels);
        announcing.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
        return announcing.waitForStarted()
            && support::waitUntil([&] { return announcing.state() == QProcess::NotRunning; }, 120000)
            && announcing.exitStatus() == QProcess::NormalExit && announcing.exitCode() == 0;
    };
    // The odd names first, alone, so that they are among the copies kept
    // whatever order the flood's thousand come in; they stay announced
    // through it.
    QVERIFY2(announce(announcer + QStringLiteral(" --services 0 --seconds 3")), "the odd names' announcer failed");
    QVERIFY2(support::waitUntil([&] { return oddSeen.size() == oddParts.size(); }, 30000),
             qPrintable(QStringLiteral("%1 of the odd names listed").arg(oddSeen.size())));
    QVERIFY2(announce(announcer), "the flood's announcer failed");
    // The daemon answers the lookups once the flood is over; what it
    // says is published within a period.
    QVERIFY2(support::waitUntil([&] { return found.rowCount() > 0; }, 30000), "no copy listed after the flood");
    support::waitUntil([] { return false; }, 2 * FoundCopies::kPublishEveryMs);
    look();
    qInstallMessageHandler(previous);
    const int leftOutNotices = s_leftOutNotices;

    // The flood did reach the bound, and never went past it. (A few of the
    // lookups the bound allows find no row: the announcer's service on
    // another port, names whose lookup fails.)
    QVERIFY2(mostKept <= FoundCopies::kMaxCopies && mostKept >= FoundCopies::kMaxCopies * 9 / 10,
             qPrintable(QString::number(mostKept)));
    // The copies left out are told in the log once, not once per announcement.
    QVERIFY2(leftOutNotices >= 1 && leftOutNotices <= 3, qPrintable(QString::number(leftOutNotices)));
    QVERIFY2(mostRows <= FoundCopies::kMaxCopies, qPrintable(QString::number(mostRows)));
    QVERIFY(found.rowCount() > 0);
    QVERIFY2(wrongRows.isEmpty(), qPrintable(wrongRows.join(u'\n')));
    QCOMPARE(oddSeen.size(), oddParts.size());
    QCOMPARE(box->text(), boxBefore);
    QVERIFY(box->isEnabled());
    QVERIFY2(longestStillMs < 3000, qPrintable(QStringLiteral("still for %1 ms").arg(longestStillMs)));

    // And the window still converses: a peer's message arrives, the copy
    // connects back.
    support::ForeignPeer peer("127.0.0.2");
    QVERIFY2(peer.listening(), qPrintable(peer.errorString()));
    QVERIFY(peer.reach(form, "127.0.0.1"));
    const QString message = QStringLiteral("¿Sigues ahí después de la avalancha?");
    peer.send(message.toUtf8());
    QVERIFY2(support::waitUntil([&] { return support::shownText(form).contains(message); }, 5000),
             qPrintable(support::shownText(form)));
    QVERIFY(support::waitUntil([&] { return peer.linked(); }, 5000));
}

QTEST_MAIN(TestHostileAnnouncer)
#include "test_hostile_announcer.moc"
