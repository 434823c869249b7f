#pragma once

#include "packages/EInstallationMode.h"

#include "download/EPackageDownloaderError.h"
#include "packages/TPackageConfigurationReader.h"
#include "packages/TPackageEnumerations.h"

#include <QDir>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace shared {
class TBandwidthLimiter;
}

namespace vorna::launcher {

class TDiskSpaceCheck;
class TLauncherConfigurationReader;
class TLauncherFilesystemHelper;
class TPackage;
class TPackageInstallation;

// The single entry point for installing, updating and verifying packages, and the owner of the
// installed state: marker files, local package status and the default client marker. Lives on
// the main thread.
class TInstallationManager : public QObject
{
    Q_OBJECT

public:
    // The name of the empty file that marks the default client package.
    static QString defaultMarkerName() { return QStringLiteral("default"); }

    // PackageSource may be null (the self-updater's manager, which has no package list). With a
    // package list, the local statuses are computed at once.
    TInstallationManager(std::shared_ptr<TLauncherConfigurationReader> PackageSource,
                         std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper);
    ~TInstallationManager() override;
    Q_DISABLE_COPY(TInstallationManager)

    // The application directory for the launcher's own package, else a directory below the
    // packages directory (which is created when missing). Never the packages directory itself nor
    // anything outside it.
    QDir installationDirectory(const std::shared_ptr<TPackage> &pPackage) const;
    // (partial marker path, full marker path) inside Directory.
    std::pair<QString, QString> markerPaths(const QDir &Directory) const;
    // The configuration recorded by the markers; the full marker wins over the partial one. An
    // invalid, empty reader when the directory has neither.
    TPackageConfigurationReader
    readPackageConfigurationFromInstallationDirectory(const QDir &Directory) const;
    ELocalPackageStatus computeLocalPackageStatus(const std::shared_ptr<TPackage> &pPackage) const;

    // The marker transitions of an installation. They throw std::runtime_error when the file
    // system refuses; markers are replaced atomically, never left half written.
    void markPackageAsPartiallyInstalled(const std::shared_ptr<TPackage> &pPackage,
                                         const QByteArray &RemotePackageJson,
                                         const QByteArray &RemoteAssetJson);
    void updatePartiallyInstalledPackage(const std::shared_ptr<TPackage> &pPackage,
                                         const QByteArray &RemotePackageJson,
                                         const QByteArray &RemoteAssetJson);
    void markPackageAsFullyInstalled(const std::shared_ptr<TPackage> &pPackage,
                                     const QByteArray &RemotePackageJson,
                                     const QByteArray &RemoteAssetJson);

    // Clears every default marker, then marks pPackage (may be null) as the default client.
    void setDefaultPackage(const std::shared_ptr<TPackage> &pPackage);
    void clearDefaultMarkers();
    // Recomputes every status and picks the first installed package holding a default marker.
    void refreshLocalPackageStatuses();

    // The client program of the package's remote configuration, or empty text.
    QString executablePath(const std::shared_ptr<TPackage> &pPackage) const;
    // The first listed package whose executable is Path, or null.
    std::shared_ptr<TPackage> findPackageByExecutablePath(const QString &Path) const;

    const std::shared_ptr<TLauncherConfigurationReader> &packageSource() const
    {
        return m_packageSource;
    }
    const std::shared_ptr<TLauncherFilesystemHelper> &filesystemHelper() const
    {
        return m_filesystemHelper;
    }
    int installationMode() const { return m_installationMode; }
    void setInstallationMode(int Mode) { m_installationMode = Mode; }
    // The launcher's cap of the download rate, handed to every installation started from now on.
    void setBandwidthLimiter(std::shared_ptr<::shared::TBandwidthLimiter> Limiter)
    {
        m_bandwidthLimiter = std::move(Limiter);
    }

    // Installs, updates or repairs a package: marks it partially installed, scans its directory,
    // downloads what is missing, then verifies (unless the settings skip it) and marks it fully
    // installed. Ignored while the package is in progress or has no configuration for this
    // platform; a configuration that did not parse ends as a failed download, markers untouched.
    void installOrUpdatePackage(std::shared_ptr<TPackage> pPackage);
    // Hashes every file of the installed configuration, whatever the settings say; the package
    // counts as partially installed until the verification passes.
    void verifyPackage(std::shared_ptr<TPackage> pPackage);
    // Pauses or resumes the installation in progress of that package; nothing without one.
    void setPaused(const std::shared_ptr<TPackage> &pPackage, bool Paused);
    // In order of creation; at most one per package.
    const std::vector<std::shared_ptr<TPackageInstallation>> &installationsInProgress() const
    {
        return m_installationsInProgress;
    }

public slots:
    void onDiskAccessFailed(QString ErrorMessage);
    void onDownloadFinished(std::shared_ptr<vorna::launcher::TPackage> PackageBeingInstalled);
    void onVerificationFinished(std::shared_ptr<vorna::launcher::TPackage> PackageBeingInstalled);

signals:
    void installationOrUpdateStarted(
        const vorna::launcher::TPackageInstallation &InstallationInProgress);
    void installationOrUpdateFinished(
        const vorna::launcher::TPackageInstallation &InstallationInProgress);
    void allStartedUpdatesFinished();
    void diskAccessFailed(QString ErrorMessage);

private:
    // The package list walked by the default and status operations; empty without a source.
    std::vector<std::shared_ptr<TPackage>> listedPackages() const;
    TPackageConfigurationReader readConfiguration(const QDir &Directory,
                                                  const QString &MarkerPath) const;
    QByteArray readBytesOrEmpty(const QString &Path) const;
    // Deletes a file, a symbolic link (never what it points to) or a directory tree.
    // A marker counts only as a file: a settings file without marker names would otherwise make
    // the installation directory itself look like a marker.
    bool isMarkerPresent(const QString &Path) const;
    void removePath(const QString &Path) const;
    // Replaces Path with Data through a temporary file in the same directory.
    void writeFileAtomically(const QString &Path, const QByteArray &Data) const;
    void writeAssetFileIfGiven(const QDir &Directory, const QByteArray &RemoteAssetJson) const;
    // The asset file follows the new configuration: written, or removed when it has none.
    void writeOrRemoveAssetFile(const QDir &Directory, const QByteArray &RemoteAssetJson) const;
    // Turns an existing full marker into the partial marker (the configuration complete so far).
    void demoteFullMarker(const QString &PartialMarker, const QString &FullMarker) const;
    void logTransition(const char *Operation, const std::shared_ptr<TPackage> &pPackage) const;
    std::shared_ptr<TPackageInstallation> findInstallation(const QString &PackageName) const;
    // The one way an installation comes into being: made, prepared by Prepare (settings and
    // connections), listed, and announced with installationOrUpdateStarted, in that order, so that
    // every request, whether it runs or fails at once, is listed before anyone hears of it.
    std::shared_ptr<TPackageInstallation>
    registerInstallation(const std::shared_ptr<TPackage> &pPackage,
                         const std::function<void(TPackageInstallation &)> &Prepare);
    // Marks the package as partially installed, then registers a connected installation.
    std::shared_ptr<TPackageInstallation>
    startInstallation(const std::shared_ptr<TPackage> &pPackage, const QDir &Directory,
                      const TPackageConfigurationReader &Local,
                      const TPackageConfigurationReader &Remote, bool WithDownload);
    // Registers an installation that cannot start and, from the event loop, ends it as a failed
    // download, so that every request ends with installationOrUpdateFinished.
    void
    failInstallationLater(const std::shared_ptr<TPackage> &pPackage,
                          EPackageDownloaderError Reason = EPackageDownloaderError::DownloadFailed,
                          const TDiskSpaceCheck *pSpace = nullptr);
    void reportFullDisk(TPackageInstallation &Installation);
    // False, with the request ended as NotEnoughDiskSpace, when the files cannot fit.
    bool hasRoomFor(const std::shared_ptr<TPackage> &pPackage, const QDir &Directory,
                    const TPackageConfigurationReader &Remote);
    // Emits installationOrUpdateFinished and drops the installation from the list.
    void finishInstallation(const std::shared_ptr<TPackageInstallation> &pInstallation);
    // Ends the request later when the documents describe nothing that may be installed.
    bool failIfUnusable(const std::shared_ptr<TPackage> &pPackage,
                        const TPackageConfigurationReader &Remote, const QDir &Directory);

    std::shared_ptr<TLauncherConfigurationReader> m_packageSource;
    std::shared_ptr<TLauncherFilesystemHelper> m_filesystemHelper;
    int m_installationMode = static_cast<int>(EInstallationMode::Normal);
    std::vector<std::shared_ptr<TPackageInstallation>> m_installationsInProgress;
    std::shared_ptr<::shared::TBandwidthLimiter> m_bandwidthLimiter;
};

} // namespace vorna::launcher
