#pragma once

#include "download/EPackageDownloaderError.h"
#include "packages/EInstallationMode.h"
#include "packages/TDiskSpaceCheck.h"
#include "packages/TPackageConfigurationReader.h"
#include "packages/TPackageDifference.h"

#include <QDir>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

template <typename T> class QFutureWatcher;

namespace shared {
class TBandwidthLimiter;
class TDownloadPool;
} // namespace shared

namespace vorna::launcher {

class TLauncherFilesystemHelper;
class TPackage;
class TPackageFileDownloader;

// One installation, update or verification of one package: deletes what the new version no
// longer has, hands the missing chunks to its own downloader on its own download pool, and
// verifies the installed files. Reports its two milestones, downloadFinished and
// verificationFinished; the installation manager reacts to them and moves the markers.
//
// Lives on the main thread and is held by shared pointers that delete it later (see
// makeInstallation()), so it survives its own milestone signals. Scans and verifications run on
// the global thread pool; the destructor waits for them.
class TPackageInstallation final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TPackageInstallation)

public:
    TPackageInstallation(std::shared_ptr<TPackage> pPackage,
                         std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper);
    ~TPackageInstallation() override;

    // An installation whose last reference schedules deferred deletion instead of deleting it on
    // the spot, where one of its own slots may still be on the stack.
    static std::shared_ptr<TPackageInstallation>
    makeInstallation(std::shared_ptr<TPackage> pPackage,
                     std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper);

    const std::shared_ptr<TPackage> &package() const { return m_package; }
    TPackageFileDownloader *downloader() const { return m_downloader.get(); }
    const std::shared_ptr<::shared::TDownloadPool> &pool() const { return m_pool; }
    const std::shared_ptr<TLauncherFilesystemHelper> &filesystemHelper() const
    {
        return m_filesystemHelper;
    }
    bool succeeded() const { return m_succeeded; }
    // Why the installation failed; NoError when it succeeded.
    EPackageDownloaderError errorReason() const { return m_errorReason; }
    EInstallationMode installationMode() const { return m_installationMode; }
    void setInstallationMode(EInstallationMode Mode) { m_installationMode = Mode; }
    const QString &localVersion() const { return m_localVersion; }
    const QString &remoteVersion() const { return m_remoteVersion; }
    void setVersions(const QString &LocalVersion, const QString &RemoteVersion);
    const QDir &installationDirectory() const { return m_installationDirectory; }
    void setInstallationDirectory(const QDir &Directory) { m_installationDirectory = Directory; }
    const TFileInPackageVector &filesToDelete() const { return m_filesToDelete; }
    // Paces this installation's transfers with the launcher's one cap.
    void setBandwidthLimiter(std::shared_ptr<::shared::TBandwidthLimiter> Limiter);

    // Pausing starts no new request; those in flight finish and their chunks are written, so
    // nothing is lost and resume() goes on with the chunks still missing, without a new scan.
    // An installation left paused is resumed by the next run through its partial marker.
    void pause();
    void resume();
    bool isPaused() const { return m_paused; }

    // Set with the reason NotEnoughDiskSpace: what the files need and what the volume has.
    const TDiskSpaceCheck &diskSpace() const { return m_diskSpace; }
    // Ends a failed download as a full disk (the reason NotEnoughDiskSpace).
    void setNotEnoughDiskSpace(const TDiskSpaceCheck &Space);
    const std::vector<TFileToDownload> &filesToDownload() const { return m_filesToDownload; }

    // The difference between Remote and the directory; runs on a worker thread and emits
    // scanProgress. Throws std::runtime_error when the scan failed.
    TPackageDifference
    computeRequiredChanges(const QDir &InstallationDirectory,
                           const std::shared_ptr<TLauncherFilesystemHelper> &FilesystemHelper,
                           TPackageConfigurationReader Remote, TPackageConfigurationReader Local,
                           bool FastScan);
    // Runs computeRequiredChanges on the global thread pool and hands the result to
    // onRequiredChangesComputedForInstallation(); a failed scan ends the installation as a
    // failed download.
    void startRequiredChangesComputation(TPackageConfigurationReader Remote,
                                         TPackageConfigurationReader Local, bool FastScan);

    // Verifies the files of Configuration, unless Force is false and the settings skip
    // verification after downloads.
    void startVerification(const TPackageConfigurationReader &Configuration, bool Force);
    // Hashes every file on 6 workers; true when all match. Runs on a worker thread.
    bool VerifyPackage(const QDir &Directory,
                       const std::shared_ptr<TLauncherFilesystemHelper> &FilesystemHelper,
                       TFileInPackageVector Files);

signals:
    void scanProgress(TFileSize BytesDownloaded, TFileSize BytesTotal);
    // For the UI; the write progress itself comes from the downloader's progress signal.
    void writeProgress(TFileSize BytesDownloaded, TFileSize BytesTotal);
    void verificationProgress(TFileSize BytesDownloaded, TFileSize BytesTotal);
    void downloadFinished(std::shared_ptr<vorna::launcher::TPackage> PackageBeingInstalled);
    void verificationFinished(std::shared_ptr<vorna::launcher::TPackage> PackageBeingInstalled);
    void diskAccessFailed(QString Message);
    void pausedChanged(bool Paused);

public slots:
    void onDownloadCompleted();
    void onDownloadFailed(vorna::launcher::EPackageDownloaderError ErrorReason);
    void onRequiredChangesComputedForInstallation(vorna::launcher::TPackageDifference Changes);
    void onVerifyFinished(bool Result);

private:
    struct TScanResult;

    void deleteObsoleteFiles();
    void waitForWorkers();

    std::shared_ptr<TPackage> m_package;
    std::shared_ptr<::shared::TDownloadPool> m_pool;
    // Deleted later, like the installation: its signals lead here while it is still emitting.
    std::unique_ptr<TPackageFileDownloader, void (*)(TPackageFileDownloader *)> m_downloader;
    std::shared_ptr<TLauncherFilesystemHelper> m_filesystemHelper;
    bool m_succeeded = false;
    EPackageDownloaderError m_errorReason = EPackageDownloaderError::NoError;
    EInstallationMode m_installationMode = EInstallationMode::Normal;
    QString m_localVersion;
    QString m_remoteVersion;
    QDir m_installationDirectory;
    TFileInPackageVector m_filesToDelete;
    std::vector<TFileToDownload> m_filesToDownload;
    QFutureWatcher<TScanResult> *m_scanWatcher = nullptr;
    QFutureWatcher<bool> *m_verificationWatcher = nullptr;
    bool m_paused = false;
    TDiskSpaceCheck m_diskSpace;
};

} // namespace vorna::launcher

Q_DECLARE_METATYPE(vorna::launcher::TPackageDifference)
