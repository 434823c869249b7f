#pragma once

#include <QString>

namespace shared::platform {

// Removes the single-instance shared memory segment of this key when no live process holds it.
// System V segments outlive a process that was killed; Windows frees them with the last handle,
// so there this does nothing.
void releaseOrphanedSharedMemory(const QString &Key);

} // namespace shared::platform
