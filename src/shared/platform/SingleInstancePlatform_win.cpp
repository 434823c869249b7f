#include "SingleInstancePlatform.h"

namespace shared::platform {

void releaseOrphanedSharedMemory(const QString &Key)
{
    Q_UNUSED(Key)
}

} // namespace shared::platform
