#include "TLockingFilesystemHelper.h"

#include "format/TErrorException.h"

#include <stdexcept>

namespace testsupport {

bool TLockingFilesystemHelper::deleteFile(const QString &Path) const
{
    if (m_lockedFiles.count(QDir::cleanPath(Path)))
        throw ::shared::TErrorException(::shared::EErrorCode::DeleteFailed, Path, {});
    return TLauncherFilesystemHelper::deleteFile(Path);
}

} // namespace testsupport
