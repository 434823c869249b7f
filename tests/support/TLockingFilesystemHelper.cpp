#include "TLockingFilesystemHelper.h"

#include "format/TTextError.h"

#include <stdexcept>

namespace testsupport {

bool TLockingFilesystemHelper::deleteFile(const QString &Path) const
{
    if (m_lockedFiles.count(QDir::cleanPath(Path)))
        throw ::shared::TTextError(QStringLiteral("Failed to delete file ") + Path);
    return TLauncherFilesystemHelper::deleteFile(Path);
}

} // namespace testsupport
