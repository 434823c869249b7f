#include "TLauncherSelfUpdater.h"

#include "LauncherVersion.h"
#include "configuration/TLauncherFilesystemHelper.h"
#include "format/TTextError.h"
#include "installation/TInstallationManager.h"
#include "installation/TPackageInstallation.h"
#include "packages/TPackage.h"
#include "shared/LogCategories.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace vorna::launcher {

TLauncherSelfUpdater::TLauncherSelfUpdater(
    std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper)
    : m_filesystemHelper(std::move(FilesystemHelper))
{
}

TLauncherSelfUpdater::~TLauncherSelfUpdater() = default;

void TLauncherSelfUpdater::startSelfUpdate(const std::shared_ptr<TPackage> &LauncherPackage)
{
    if (!LauncherPackage)
        return;
    qCInfo(lcApp) << "startSelfUpdate " << LauncherPackage->name();
    m_installationManager = std::make_unique<TInstallationManager>(nullptr, m_filesystemHelper);
    connect(m_installationManager.get(), &TInstallationManager::installationOrUpdateFinished, this,
            &TLauncherSelfUpdater::onInstallationOrUpdateFinished);
    connect(m_installationManager.get(), &TInstallationManager::diskAccessFailed, this,
            &TLauncherSelfUpdater::diskAccessFailed);
    m_installationManager->setInstallationMode(static_cast<int>(EInstallationMode::SelfUpdate));
    moveRunningExecutableAside(m_installationManager->executablePath(LauncherPackage));
    m_installationManager->installOrUpdatePackage(LauncherPackage);
}

// The running executable cannot be opened for writing (Windows locks it, Linux answers "text file
// busy"), yet the installation writes into an existing file in place whenever some of its chunks
// can be reused, which is nearly always the case between two builds of the launcher. Renaming the
// running file is allowed on both systems, so it becomes the backup and an identical copy that
// nobody runs takes its place: the update reuses the copy's chunks, and a failed update finds the
// backup to restore. Without this, a failed update on a system that lets the running file be
// deleted left a half-written launcher behind with nothing to restore.
void TLauncherSelfUpdater::moveRunningExecutableAside(const QString &Executable) const
{
    if (Executable.isEmpty() || !QFileInfo(Executable).isFile())
        return;
    const QString backup = Executable + oldFileSuffix();
    try {
        // A link at the backup's place goes as a link, never emptying what it leads to.
        m_filesystemHelper->removePath(backup);
    } catch (const std::runtime_error &) {
        // The rename below fails and leaves the executable where it is.
    }
    if (!QFile::rename(Executable, backup)) {
        qCWarning(lcApp) << "moveRunningExecutableAside: cannot rename" << Executable;
        return;
    }
    if (!QFile::copy(backup, Executable) ||
        !QFile::setPermissions(Executable, QFile::permissions(backup))) {
        qCWarning(lcApp) << "moveRunningExecutableAside: cannot copy" << backup;
        // The launcher must never be left without its executable.
        QFile::remove(Executable);
        QFile::rename(backup, Executable);
    }
}

void TLauncherSelfUpdater::onInstallationOrUpdateFinished(
    const TPackageInstallation &InstallationInProgress)
{
    if (InstallationInProgress.succeeded()) {
        emit updateDownloadFinishedAndRestartRequired();
        return;
    }
    try {
        const QString executable =
            m_installationManager->executablePath(InstallationInProgress.package());
        const QString backup = executable + oldFileSuffix();
        if (!executable.isEmpty() && m_filesystemHelper->fileExists(backup)) {
            m_filesystemHelper->removePath(executable);
            if (!QFile::rename(backup, executable))
                throw ::shared::TTextError(QStringLiteral("Failed to restore %1").arg(executable));
        }
        qCCritical(lcApp) << "Updating Corvane Online failed: Error"
                          << static_cast<int>(InstallationInProgress.errorReason());
        emit updateFailed();
    } catch (const std::runtime_error &e) {
        emit diskAccessFailed(::shared::errorText(e));
    }
}

void TLauncherSelfUpdater::cleanupOldLauncherVersion()
{
    qCInfo(lcApp) << "cleanupOldLauncherVersion";
    const auto files = m_filesystemHelper->listFiles(m_filesystemHelper->applicationDirectory());
    for (const auto &file : files) {
        if (QFileInfo(file.absoluteFilePath)
                .fileName()
                .endsWith(oldFileSuffix(), Qt::CaseSensitive))
            m_filesystemHelper->deleteFile(file.absoluteFilePath);
    }
}

} // namespace vorna::launcher
