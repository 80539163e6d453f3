#include "discovery/dns_sd.h"

namespace discovery {

QByteArray dnsLabel(const QString &name)
{
    QString text = name.isEmpty() ? QStringLiteral("Varlo-Zintabel") : name;
    QByteArray label = text.toUtf8();
    while (label.size() > 63) {
        text.chop(text.size() >= 2 && text.at(text.size() - 1).isLowSurrogate() ? 2 : 1);
        label = text.toUtf8();
    }
    return label;
}

} // namespace discovery
