#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QString>
#include <QTimer>

#include <vector>

namespace discovery {

// The other copies the network announces, as the address box's drop-down
// list shows them: "nombre — 10.0.0.5", sorted by name, one row per name and
// address.
//
// Whatever the network says, this stays small and cheap: it keeps at most
// kMaxCopies announcements (the rest are dropped, with one line in the log
// per run of drops), a name at most kMaxNameChars characters long, and
// rebuilds its rows at most once per kPublishEveryMs, however fast the
// announcements come.
//
// Invariants:
// - m_seen holds at most kMaxCopies entries, keyed by the announcement's
//   identity as the DNS-SD service gives it (interface, protocol, name).
// - Between publications m_rows is what m_seen was at the last one; m_dirty
//   says m_seen has changed since, and then m_publish is running or m_held.
// - m_rows is sorted by name, then address, and holds no two equal rows.
class FoundCopies : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int kMaxCopies = 300;
    static constexpr int kMaxNameChars = 63; // a DNS label's length
    static constexpr int kPublishEveryMs = 250;
    enum Role { AddressRole = Qt::UserRole + 1 };

    explicit FoundCopies(QObject *parent = nullptr);

    // An announcement seen, or seen again with another name or address.
    // `name` is the instance name's bytes as announced; `ipv4` its address.
    void seen(const QByteArray &key, const QByteArray &name, const QString &ipv4);
    // An announcement withdrawn; unknown keys are ignored.
    void gone(const QByteArray &key);
    // An announcement the DNS-SD service could not follow for want of room
    // (it keeps no more than kMaxCopies lookups either).
    void dropped();
    // The DNS-SD service itself went away: nothing it said holds any more.
    void forgetAll();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // How many announcements are kept, and how many rebuilds of the rows
    // there have been: tests check the bounds with them.
    int kept() const { return static_cast<int>(m_seen.size()); }
    int publications() const { return m_publications; }
    // Publishes what is pending now, without waiting for the timer.
    void publishNow();
    // While held, the rows stay as they are (the user is reading them);
    // what changed meanwhile is published once they are let go.
    void hold(bool held);

    // What a name shows: valid text, no control or direction characters,
    // at most kMaxNameChars characters.
    static QString shownName(const QByteArray &name);

private:
    struct Copy {
        QString name;
        QString address;
        bool operator==(const Copy &) const = default;
    };
    void changed();
    void publish();

    QHash<QByteArray, Copy> m_seen;
    std::vector<Copy> m_rows;
    QTimer m_publish;
    bool m_dirty = false;
    bool m_held = false;
    bool m_dropping = false; // a run of dropped announcements is under way
    int m_publications = 0;
};

} // namespace discovery
