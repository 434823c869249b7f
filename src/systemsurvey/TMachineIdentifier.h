#pragma once

#include <QString>
#include <QStringList>

namespace systemsurvey {

// The anonymous identifier of this machine sent as the survey's clientID: a salted SHA-1 of the
// hardware addresses of the network interfaces. It stays the same across runs as long as the
// interfaces and their order do not change.
class TMachineIdentifier final
{
public:
    // Computed on first use from the system's interfaces, then the same for the whole process.
    static QString clientId();

    // The identifier for hardware address texts in interface order (40 lower-case hex digits).
    static QString fromHardwareAddresses(const QStringList &HardwareAddresses);
};

} // namespace systemsurvey
