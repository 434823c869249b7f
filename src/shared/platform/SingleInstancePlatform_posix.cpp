#include "SingleInstancePlatform.h"

#include <QSharedMemory>

namespace shared::platform {

void releaseOrphanedSharedMemory(const QString &Key)
{
    // Attaching and detaching again removes a segment whose attach count drops to zero, which
    // happens only when no other process is attached: a live launcher keeps it at one or more.
    QSharedMemory probe(Key);
    if (probe.attach(QSharedMemory::ReadOnly))
        probe.detach();
}

} // namespace shared::platform
