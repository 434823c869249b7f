#include "TLockingFilesystemHelper.h"

#include <stdexcept>

namespace testsupport {

bool TLockingFilesystemHelper::deleteFile(const QString &Path) const
{
    if (m_lockedFiles.count(QDir::cleanPath(Path)))
        throw std::runtime_error(
            QString(QStringLiteral("Failed to delete file ") + Path).toStdString());
    return TLauncherFilesystemHelper::deleteFile(Path);
}

} // namespace testsupport
