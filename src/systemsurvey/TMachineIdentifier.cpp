#include "TMachineIdentifier.h"

#include <QCryptographicHash>
#include <QList>
#include <QNetworkInterface>

namespace systemsurvey {

QString TMachineIdentifier::fromHardwareAddresses(const QStringList &HardwareAddresses)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    // The salt keeps the identifier from being a plain hash of well-known MAC addresses.
    hash.addData(QByteArrayLiteral("8d3e51c7-2a94-4b0f-b6e2-7f19c0a4d853"));
    for (const QString &address : HardwareAddresses)
        hash.addData(address.toLatin1());
    return QString::fromLatin1(hash.result().toHex());
}

QString TMachineIdentifier::clientId()
{
    static const QString identifier = [] {
        QStringList addresses;
        const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
        for (const QNetworkInterface &networkInterface : interfaces)
            addresses.append(networkInterface.hardwareAddress());
        return fromHardwareAddresses(addresses);
    }();
    return identifier;
}

} // namespace systemsurvey
