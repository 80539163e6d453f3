#include "discovery/found_copies.h"

#include <QDebug>

#include <algorithm>

namespace discovery {

FoundCopies::FoundCopies(QObject *parent)
    : QAbstractListModel(parent)
{
    m_publish.setSingleShot(true);
    m_publish.setInterval(kPublishEveryMs);
    connect(&m_publish, &QTimer::timeout, this, &FoundCopies::publish);
}

// A peer chooses its name's bytes: what is not UTF-8 shows as a replacement
// character, and control and direction characters, which could make a row
// read as another address, are left out.
QString FoundCopies::shownName(const QByteArray &name)
{
    const QString text = QString::fromUtf8(name.left(4 * kMaxNameChars));
    QString shown;
    shown.reserve(std::min<qsizetype>(text.size(), kMaxNameChars));
    for (const QChar c : text) {
        if (shown.size() == kMaxNameChars)
            break;
        if (c.isSpace()) {
            shown.append(QChar(u' '));
            continue;
        }
        const QChar::Category category = c.category();
        if (category != QChar::Other_Control && category != QChar::Other_Format)
            shown.append(c);
    }
    // A surrogate pair cut in two at the end.
    if (!shown.isEmpty() && shown.back().isHighSurrogate())
        shown.chop(1);
    return shown.trimmed();
}

void FoundCopies::seen(const QByteArray &key, const QByteArray &name, const QString &ipv4)
{
    const Copy copy{shownName(name), ipv4};
    const auto known = m_seen.find(key);
    if (known != m_seen.end()) {
        if (*known == copy)
            return;
        *known = copy;
    } else if (m_seen.size() >= kMaxCopies) {
        dropped();
        return;
    } else {
        m_seen.insert(key, copy);
    }
    changed();
}

// One line for a run of drops, however long the run: a flood of
// announcements does not become a flood of log lines.
void FoundCopies::dropped()
{
    if (!std::exchange(m_dropping, true))
        qInfo("Hay más de %d copias anunciadas en la red; las demás no se muestran.", kMaxCopies);
}

void FoundCopies::gone(const QByteArray &key)
{
    if (m_seen.remove(key) == 0)
        return;
    if (m_seen.size() < kMaxCopies)
        m_dropping = false;
    changed();
}

void FoundCopies::forgetAll()
{
    if (m_seen.isEmpty())
        return;
    m_seen.clear();
    m_dropping = false;
    changed();
}

void FoundCopies::changed()
{
    m_dirty = true;
    if (!m_publish.isActive())
        m_publish.start();
}

void FoundCopies::publishNow()
{
    m_publish.stop();
    publish();
}

void FoundCopies::hold(bool held)
{
    m_held = held;
    if (!held && m_dirty && !m_publish.isActive())
        publish();
}

void FoundCopies::publish()
{
    if (m_held || !std::exchange(m_dirty, false))
        return;
    std::vector<Copy> rows;
    rows.reserve(m_seen.size());
    for (const Copy &copy : std::as_const(m_seen))
        rows.push_back(copy);
    std::sort(rows.begin(), rows.end(), [](const Copy &a, const Copy &b) {
        const int byName = a.name.localeAwareCompare(b.name);
        return byName != 0 ? byName < 0 : a.address < b.address;
    });
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    if (rows == m_rows)
        return;
    ++m_publications;
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

int FoundCopies::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant FoundCopies::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const Copy &copy = m_rows[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
    case Qt::AccessibleTextRole:
        return copy.name.isEmpty() ? copy.address : copy.name + QStringLiteral(" — ") + copy.address;
    case AddressRole:
        return copy.address;
    default:
        return {};
    }
}

} // namespace discovery
