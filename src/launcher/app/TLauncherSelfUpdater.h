#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace vorna::launcher {

class TInstallationManager;
class TLauncherFilesystemHelper;
class TPackage;
class TPackageInstallation;

// Installs the launcher's own package over the running launcher, moving files in use aside, and
// removes what an earlier update moved aside.
class TLauncherSelfUpdater final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TLauncherSelfUpdater)

public:
    explicit TLauncherSelfUpdater(std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper);
    ~TLauncherSelfUpdater() override;

    // Does nothing for a null package.
    void startSelfUpdate(const std::shared_ptr<TPackage> &LauncherPackage);
    // Deletes the files directly in the application directory whose names end with ".old".
    void cleanupOldLauncherVersion();

signals:
    void updateDownloadFinishedAndRestartRequired();
    void updateFailed();
    void diskAccessFailed(QString ErrorMessage);

private slots:
    void onInstallationOrUpdateFinished(const TPackageInstallation &InstallationInProgress);

private:
    // Leaves the running executable as its backup and an unlocked copy at its place.
    void moveRunningExecutableAside(const QString &Executable) const;

    std::shared_ptr<TLauncherFilesystemHelper> m_filesystemHelper;
    std::unique_ptr<TInstallationManager> m_installationManager;
};

} // namespace vorna::launcher
