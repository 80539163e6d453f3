#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

namespace discovery {

class FoundCopies;

// Announces this copy as a DNS-SD service "_varlo-zintabel._tcp" and browses
// for the others, through the system's own DNS-SD service: avahi-daemon on
// Linux, the DNS-SD functions of Windows 10 and later. What it finds goes to
// `found`, which must outlive it. Where the service is missing, or goes away,
// it does nothing and says nothing; the program works as without it.
class DnsSd : public QObject {
    Q_OBJECT
public:
    static constexpr const char *kServiceType = "_varlo-zintabel._tcp";

    DnsSd(FoundCopies &found, const QString &instanceName, quint16 port, QObject *parent = nullptr);
    ~DnsSd() override;

private:
    struct Backend;
    std::unique_ptr<Backend> m_backend;
};

// A machine's name as a DNS label, under which it is announced: its UTF-8
// cut to 63 bytes, on a character's edge; a name left empty is the
// program's.
QByteArray dnsLabel(const QString &name);

} // namespace discovery
