#pragma once

#include "configuration/TLauncherFilesystemHelper.h"

#include <QString>

#include <set>

namespace testsupport {

// The launcher's file system helper, except that deleting one of the locked files fails the way
// it does on Windows for a program that is running (the launcher updating itself). Renaming
// such a file still works, as it does there.
class TLockingFilesystemHelper final : public vorna::launcher::TLauncherFilesystemHelper
{
public:
    using TLauncherFilesystemHelper::TLauncherFilesystemHelper;

    bool deleteFile(const QString &Path) const override;
    void lock(const QString &Path) { m_lockedFiles.insert(QDir::cleanPath(Path)); }

private:
    std::set<QString> m_lockedFiles;
};

} // namespace testsupport
