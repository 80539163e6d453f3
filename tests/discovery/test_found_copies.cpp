#include "discovery/found_copies.h"

#include <QSignalSpy>
#include <QTest>

using discovery::FoundCopies;

namespace {

QStringList rows(const FoundCopies &found)
{
    QStringList shown;
    for (int row = 0; row < found.rowCount(); ++row)
        shown << found.index(row).data().toString();
    return shown;
}

QByteArray key(int n) { return "1/0/copia" + QByteArray::number(n); }

// The lines the list writes to the log while a test runs.
QStringList *g_logged = nullptr;
void keepLine(QtMsgType, const QMessageLogContext &, const QString &line)
{
    if (g_logged)
        g_logged->append(line);
}

} // namespace

// What the network announces, hostile or not, as the address box's list
// shows it.
class TestFoundCopies : public QObject {
    Q_OBJECT

private slots:
    void showsCopiesSortedOnceEach();
    void namesShowOnlyPlainText();
    void keepsAtMostItsBoundAndLogsOnce();
    void aFloodIsOnePublicationAndHeldRowsKeepStill();
};

void TestFoundCopies::showsCopiesSortedOnceEach()
{
    FoundCopies found;
    found.seen("1/0/beta", "beta", QStringLiteral("10.0.0.7"));
    found.seen("1/0/alfa", "alfa", QStringLiteral("10.0.0.9"));
    // The same copy seen on a second interface, and another one that took
    // the same name.
    found.seen("2/0/alfa", "alfa", QStringLiteral("10.0.0.9"));
    found.seen("3/0/alfa", "alfa", QStringLiteral("10.0.0.5"));
    found.publishNow();
    QCOMPARE(rows(found),
             QStringList({QStringLiteral("alfa — 10.0.0.5"), QStringLiteral("alfa — 10.0.0.9"),
                          QStringLiteral("beta — 10.0.0.7")}));
    QCOMPARE(found.index(2).data(FoundCopies::AddressRole).toString(), QStringLiteral("10.0.0.7"));

    // An address that changes, a copy that leaves, one never seen leaving.
    found.seen("1/0/beta", "beta", QStringLiteral("10.0.0.8"));
    found.gone("3/0/alfa");
    found.gone("9/0/nadie");
    found.publishNow();
    QCOMPARE(rows(found), QStringList({QStringLiteral("alfa — 10.0.0.9"), QStringLiteral("beta — 10.0.0.8")}));
    // One interface's announcement gone, the copy is still there by the other.
    found.gone("1/0/alfa");
    found.publishNow();
    QCOMPARE(rows(found).size(), 2);

    found.forgetAll();
    found.publishNow();
    QCOMPARE(found.rowCount(), 0);
}

void TestFoundCopies::namesShowOnlyPlainText()
{
    // Control and direction characters could make a row read as another
    // address; bytes that are not UTF-8 show as replacement characters.
    QCOMPARE(FoundCopies::shownName("a\x01\nb\tc"), QStringLiteral("a b c"));
    QCOMPARE(FoundCopies::shownName("\xE2\x80\xAE"
                                    "1.0.0.01"),
             QStringLiteral("1.0.0.01"));
    QCOMPARE(FoundCopies::shownName("caf\xE9"), QStringLiteral("caf\uFFFD"));
    QCOMPARE(FoundCopies::shownName(QByteArray(5000, 'x')).size(), FoundCopies::kMaxNameChars);
    // An emoji is not cut in half at the limit.
    const QByteArray emojis = QString(40, QChar(u'a')).toUtf8() + QByteArray("\xF0\x9F\x98\x80").repeated(40);
    const QString cut = FoundCopies::shownName(emojis);
    QVERIFY(cut.size() <= FoundCopies::kMaxNameChars);
    QVERIFY(!cut.back().isHighSurrogate());
    QVERIFY(FoundCopies::shownName(QByteArray("\0\0\0", 3)).isEmpty());

    // A copy without a printable name shows its address.
    FoundCopies found;
    found.seen("1/0/x", QByteArray("\x7f", 1), QStringLiteral("10.0.0.3"));
    found.publishNow();
    QCOMPARE(rows(found), QStringList{QStringLiteral("10.0.0.3")});
}

void TestFoundCopies::keepsAtMostItsBoundAndLogsOnce()
{
    QStringList logged;
    g_logged = &logged;
    const QtMessageHandler before = qInstallMessageHandler(keepLine);
    FoundCopies found;
    for (int n = 0; n < 5 * FoundCopies::kMaxCopies; ++n)
        found.seen(key(n), "copia" + QByteArray::number(n), QStringLiteral("10.0.%1.%2").arg(n / 250).arg(n % 250));
    found.dropped();
    QCOMPARE(found.kept(), FoundCopies::kMaxCopies);
    found.publishNow();
    QCOMPARE(found.rowCount(), FoundCopies::kMaxCopies);
    QCOMPARE(logged.size(), 1);
    QVERIFY(logged.front().contains(QStringLiteral("más de 300 copias")));

    // Room again: a new copy is kept, and the next run of drops is told anew.
    found.gone(key(0));
    found.seen(key(9999), "nueva", QStringLiteral("10.9.9.9"));
    QCOMPARE(found.kept(), FoundCopies::kMaxCopies);
    found.seen(key(10000), "otra", QStringLiteral("10.9.9.8"));
    QCOMPARE(logged.size(), 2);
    qInstallMessageHandler(before);
    g_logged = nullptr;
}

void TestFoundCopies::aFloodIsOnePublicationAndHeldRowsKeepStill()
{
    FoundCopies found;
    QSignalSpy resets(&found, &QAbstractItemModel::modelReset);
    for (int round = 0; round < 50; ++round)
        for (int n = 0; n < 200; ++n)
            found.seen(key(n), "copia", QStringLiteral("10.0.0.%1").arg((n + round) % 250));
    QCOMPARE(found.rowCount(), 0);
    QVERIFY(resets.wait(5 * FoundCopies::kPublishEveryMs));
    QCOMPARE(found.publications(), 1);
    QCOMPARE(found.rowCount(), 200);
    // Told again what it shows already, it does not rebuild its rows.
    found.seen(key(0), "copia", QStringLiteral("10.0.0.250"));
    found.seen(key(0), "copia", QStringLiteral("10.0.0.49"));
    found.publishNow();
    QCOMPARE(found.publications(), 1);

    found.hold(true);
    found.gone(key(1));
    found.publishNow();
    QCOMPARE(found.rowCount(), 200);
    found.hold(false);
    QCOMPARE(found.rowCount(), 199);
    QCOMPARE(found.publications(), 2);
}

QTEST_GUILESS_MAIN(TestFoundCopies)
#include "test_found_copies.moc"
