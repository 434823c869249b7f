#include "TInstallationManager.h"

#include "TPackageInstallation.h"
#include "configuration/FunnelEvents.h"
#include "configuration/TLauncherFilesystemHelper.h"
#include "format/TErrorException.h"
#include "format/TTextError.h"
#include "packages/TDeltaBaseStaging.h"
#include "packages/TDiskSpaceCheck.h"
#include "packages/TLauncherConfigurationReader.h"
#include "packages/TPackage.h"
#include "packages/TPackageBuild.h"
#include "shared/LogCategories.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <stdexcept>

namespace vorna::launcher {

namespace {

using ::shared::EErrorCode;

[[noreturn]] void throwIoError(EErrorCode Code, const QString &Path, const QString &Reason)
{
    throw ::shared::TErrorException(Code, Path, Reason);
}

bool countsAsInstalled(ELocalPackageStatus Status)
{
    return Status == ELocalPackageStatus::PartiallyInstalled ||
           Status == ELocalPackageStatus::UpdateAvailable ||
           Status == ELocalPackageStatus::UpToDate;
}

} // namespace

TInstallationManager::TInstallationManager(
    std::shared_ptr<TLauncherConfigurationReader> PackageSource,
    std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper)
    : m_packageSource(std::move(PackageSource)), m_filesystemHelper(std::move(FilesystemHelper))
{
    if (m_packageSource)
        refreshLocalPackageStatuses();
}

TInstallationManager::~TInstallationManager() = default;

QDir TInstallationManager::installationDirectory(const std::shared_ptr<TPackage> &pPackage) const
{
    if (pPackage->isLauncherPackage())
        return QDir(m_filesystemHelper->applicationDirectory());

    const QDir packagesDirectory = m_filesystemHelper->packagesDirectory();
    const QString packagesPath = QDir::cleanPath(packagesDirectory.absolutePath());
    const QString directory =
        m_filesystemHelper->filePathInDirectory(packagesDirectory, pPackage->directoryName());
    if (QDir::cleanPath(directory) != packagesPath)
        return QDir(directory);

    // An empty or climbing directory name confines to the packages directory itself, where the
    // package's markers and files would mix with every other package. Such a package gets a
    // directory of its own, named after the package or, failing that, after its position; never
    // one that another package has or may fall back to, compared as Windows compares names.
    qCWarning(lcInstallation).noquote()
        << QStringLiteral("installationDirectory: unusable directory name '%1' of "
                          "package '%2'")
               .arg(pPackage->directoryName(), pPackage->name());
    const auto key = [](const QString &Path) { return QDir::cleanPath(Path).toCaseFolded(); };
    const auto inPackages = [&](const QString &Name) {
        return m_filesystemHelper->filePathInDirectory(packagesDirectory, Name);
    };
    QSet<QString> taken;
    for (const auto &other : listedPackages()) {
        if (other == pPackage ||
            (other->name() == pPackage->name() && other->index() == pPackage->index()))
            continue;
        const QString own = inPackages(other->directoryName());
        taken.insert(key(QDir::cleanPath(own) != packagesPath ? own : inPackages(other->name())));
    }
    const QString byName = inPackages(pPackage->name());
    if (QDir::cleanPath(byName) != packagesPath && !taken.contains(key(byName)))
        return QDir(byName);
    QString byIndex = inPackages(QStringLiteral("package-%1").arg(pPackage->index()));
    for (int suffix = 2; taken.contains(key(byIndex)); ++suffix)
        byIndex = inPackages(QStringLiteral("package-%1-%2").arg(pPackage->index()).arg(suffix));
    return QDir(byIndex);
}

std::pair<QString, QString> TInstallationManager::markerPaths(const QDir &Directory) const
{
    const auto settings = m_filesystemHelper->settings();
    return {m_filesystemHelper->filePathInDirectory(Directory, settings->partialPackageFile),
            m_filesystemHelper->filePathInDirectory(Directory, settings->packageFile)};
}

bool TInstallationManager::isMarkerPresent(const QString &Path) const
{
    return m_filesystemHelper->fileExists(Path) && !m_filesystemHelper->directoryExists(Path);
}

QByteArray TInstallationManager::readBytesOrEmpty(const QString &Path) const
{
    // A marker that cannot be read stands for an unusable configuration, not for a failure: the
    // empty document does not parse and the installation is repaired by the next update.
    try {
        return m_filesystemHelper->readFileIfPresent(Path);
    } catch (const std::runtime_error &error) {
        qCWarning(lcInstallation).noquote() << ::shared::errorText(error);
        return {};
    }
}

TPackageConfigurationReader TInstallationManager::readConfiguration(const QDir &Directory,
                                                                    const QString &MarkerPath) const
{
    const QString assetPath = m_filesystemHelper->filePathInDirectory(
        Directory, m_filesystemHelper->settings()->assetFile);
    const QUrl base = QUrl::fromLocalFile(Directory.absolutePath());
    return TPackageConfigurationReader(readBytesOrEmpty(MarkerPath), readBytesOrEmpty(assetPath),
                                       base, base);
}

TPackageConfigurationReader
TInstallationManager::readPackageConfigurationFromInstallationDirectory(const QDir &Directory) const
{
    const auto settings = m_filesystemHelper->settings();
    qCInfo(lcInstallation)
        << "readPackageConfigurationFromInstallationDirectory m_pLauncherFilesystemHelper: "
        << static_cast<const void *>(m_filesystemHelper.get())
        << " launcherSettings: " << static_cast<const void *>(settings.get())
        << " installedPackageMarker: " << settings->packageFile
        << " partiallyInstalledPackageMarker: " << settings->partialPackageFile;

    const auto [partialMarker, fullMarker] = markerPaths(Directory);
    const QString assetPath =
        m_filesystemHelper->filePathInDirectory(Directory, settings->assetFile);
    if (isMarkerPresent(fullMarker)) {
        qCInfo(lcInstallation) << "FullInstallationMarker " << fullMarker << assetPath;
        return readConfiguration(Directory, fullMarker);
    }
    if (isMarkerPresent(partialMarker)) {
        qCInfo(lcInstallation) << "PartialInstallationMarker " << partialMarker << assetPath;
        return readConfiguration(Directory, partialMarker);
    }
    return {};
}

ELocalPackageStatus
TInstallationManager::computeLocalPackageStatus(const std::shared_ptr<TPackage> &pPackage) const
{
    const TPackageConfigurationReader *remote = pPackage->configurationForRunningPlatform();
    if (!remote)
        return ELocalPackageStatus::NotInstalled;

    const QDir directory = installationDirectory(pPackage);
    const auto [partialMarker, fullMarker] = markerPaths(directory);
    if (isMarkerPresent(fullMarker)) {
        const TPackageConfigurationReader local = readConfiguration(directory, fullMarker);
        if (local.versionString() != remote->versionString())
            return ELocalPackageStatus::UpdateAvailable;
        // The asset version "1" is what the publisher uses to force every client to rescan.
        if (remote->assetVersion() == QLatin1String("1"))
            return ELocalPackageStatus::UpdateAvailable;
        return ELocalPackageStatus::UpToDate;
    }
    return isMarkerPresent(partialMarker) ? ELocalPackageStatus::PartiallyInstalled
                                          : ELocalPackageStatus::NotInstalled;
}

void TInstallationManager::removePath(const QString &Path) const
{
    // A link in place of a marker goes as a link: its target may lie outside the installation.
    m_filesystemHelper->removePath(Path);
}

void TInstallationManager::writeFileAtomically(const QString &Path, const QByteArray &Data) const
{
    m_filesystemHelper->ensureDirectory(QFileInfo(Path).absolutePath());
    // A symbolic link in place of a marker is replaced by the file, never written through.
    QSaveFile file(Path);
    if (!file.open(QIODevice::WriteOnly))
        throwIoError(EErrorCode::OpenFailed, Path, file.errorString());
    // The write only fills Qt's buffer; a full disk shows in the flush, which commit() would
    // not report before renaming a truncated file over the marker.
    if (file.write(Data) != Data.size() || !file.flush()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        throwIoError(EErrorCode::WriteFailed, Path, reason);
    }
    if (!file.commit())
        throwIoError(EErrorCode::WriteFailed, Path, file.errorString());
}

void TInstallationManager::writeAssetFileIfGiven(const QDir &Directory,
                                                 const QByteArray &RemoteAssetJson) const
{
    if (RemoteAssetJson.isEmpty())
        return;
    writeFileAtomically(m_filesystemHelper->filePathInDirectory(
                            Directory, m_filesystemHelper->settings()->assetFile),
                        RemoteAssetJson);
}

void TInstallationManager::writeOrRemoveAssetFile(const QDir &Directory,
                                                  const QByteArray &RemoteAssetJson) const
{
    // A build without asset document: an older build's one would be read together with the new
    // marker, and its version would never match the server's again.
    if (RemoteAssetJson.isEmpty())
        removePath(m_filesystemHelper->filePathInDirectory(
            Directory, m_filesystemHelper->settings()->assetFile));
    else
        writeAssetFileIfGiven(Directory, RemoteAssetJson);
}

void TInstallationManager::demoteFullMarker(const QString &PartialMarker,
                                            const QString &FullMarker) const
{
    removePath(PartialMarker);
    // Left in place, the full marker would go on calling the installation complete while it
    // is being rewritten.
    if (!QFile::rename(FullMarker, PartialMarker))
        throwIoError(EErrorCode::RenameFailed, FullMarker,
                     QStringLiteral("Could not rename the marker to '%1'.")
                         .arg(QFileInfo(PartialMarker).fileName()));
}

void TInstallationManager::logTransition(const char *Operation,
                                         const std::shared_ptr<TPackage> &pPackage) const
{
    qCInfo(lcInstallation).noquote()
        << QLatin1String(Operation) + QLatin1String(": ") + pPackage->name();
}

void TInstallationManager::markPackageAsPartiallyInstalled(
    const std::shared_ptr<TPackage> &pPackage, const QByteArray &RemotePackageJson,
    const QByteArray &RemoteAssetJson)
{
    logTransition("markPackageAsPartiallyInstalled", pPackage);
    const QDir directory = installationDirectory(pPackage);
    const auto [partialMarker, fullMarker] = markerPaths(directory);
    if (isMarkerPresent(fullMarker))
        demoteFullMarker(partialMarker, fullMarker);
    else if (!isMarkerPresent(partialMarker))
        writeFileAtomically(partialMarker, RemotePackageJson);
    writeOrRemoveAssetFile(directory, RemoteAssetJson);
    pPackage->setLocalPackageStatus(ELocalPackageStatus::PartiallyInstalled);
}

void TInstallationManager::updatePartiallyInstalledPackage(
    const std::shared_ptr<TPackage> &pPackage, const QByteArray &RemotePackageJson,
    const QByteArray &RemoteAssetJson)
{
    logTransition("updatePartiallyInstalledPackage", pPackage);
    const QDir directory = installationDirectory(pPackage);
    const auto [partialMarker, fullMarker] = markerPaths(directory);
    if (isMarkerPresent(fullMarker))
        demoteFullMarker(partialMarker, fullMarker);
    writeFileAtomically(partialMarker, RemotePackageJson);
    writeOrRemoveAssetFile(directory, RemoteAssetJson);
    pPackage->setLocalPackageStatus(ELocalPackageStatus::PartiallyInstalled);
}

void TInstallationManager::markPackageAsFullyInstalled(const std::shared_ptr<TPackage> &pPackage,
                                                       const QByteArray &RemotePackageJson,
                                                       const QByteArray &RemoteAssetJson)
{
    logTransition("markPackageAsFullyInstalled", pPackage);
    const QDir directory = installationDirectory(pPackage);
    const auto [partialMarker, fullMarker] = markerPaths(directory);
    // The full marker is in place before the partial one goes: a failed write keeps the package
    // partially installed instead of leaving it without any marker, and a crash in between leaves
    // both, where the full marker wins.
    writeOrRemoveAssetFile(directory, RemoteAssetJson);
    writeFileAtomically(fullMarker, RemotePackageJson);
    removePath(partialMarker);
    pPackage->setLocalPackageStatus(ELocalPackageStatus::UpToDate);
}

std::vector<std::shared_ptr<TPackage>> TInstallationManager::listedPackages() const
{
    if (!m_packageSource)
        return {};
    return m_packageSource->packages();
}

void TInstallationManager::setDefaultPackage(const std::shared_ptr<TPackage> &pPackage)
{
    clearDefaultMarkers();
    if (!pPackage)
        return;
    const QDir directory = installationDirectory(pPackage);
    m_filesystemHelper->writeFileCreatingDirectory(
        m_filesystemHelper->filePathInDirectory(directory, defaultMarkerName()), QByteArray());
    pPackage->setDefault(true);
}

void TInstallationManager::clearDefaultMarkers()
{
    for (const auto &package : listedPackages()) {
        package->setLocalPackageStatus(computeLocalPackageStatus(package));
        removePath(m_filesystemHelper->filePathInDirectory(installationDirectory(package),
                                                           defaultMarkerName()));
        package->setDefault(false);
    }
}

void TInstallationManager::refreshLocalPackageStatuses()
{
    bool defaultFound = false;
    for (const auto &package : listedPackages()) {
        const ELocalPackageStatus status = computeLocalPackageStatus(package);
        package->setLocalPackageStatus(status);
        if (defaultFound || !countsAsInstalled(status))
            continue;
        const QString marker = m_filesystemHelper->filePathInDirectory(
            installationDirectory(package), defaultMarkerName());
        if (QFileInfo(marker).isFile()) {
            package->setDefault(true);
            defaultFound = true;
        }
    }
}

QString TInstallationManager::executablePath(const std::shared_ptr<TPackage> &pPackage) const
{
    const TPackageConfigurationReader *configuration = pPackage->configurationForRunningPlatform();
    if (!configuration || configuration->executable().isEmpty())
        return {};
    const QDir directory = installationDirectory(pPackage);
    const QString path =
        m_filesystemHelper->filePathInDirectory(directory, configuration->executable());
    // A name that confines to the directory itself names no program.
    if (QDir::cleanPath(path) == QDir::cleanPath(directory.absolutePath()))
        return {};
    return path;
}

std::shared_ptr<TPackage>
TInstallationManager::findPackageByExecutablePath(const QString &Path) const
{
    if (Path.isEmpty())
        return {};
    const QString wanted = QDir::cleanPath(Path);
    for (const auto &package : listedPackages()) {
        const QString candidate = executablePath(package);
        if (!candidate.isEmpty() && QDir::cleanPath(candidate) == wanted)
            return package;
    }
    return {};
}

// Installations and verifications.

std::shared_ptr<TPackageInstallation>
TInstallationManager::findInstallation(const QString &PackageName) const
{
    for (const auto &Installation : m_installationsInProgress) {
        if (Installation->package()->name() == PackageName)
            return Installation;
    }
    return {};
}

void TInstallationManager::installOrUpdatePackage(std::shared_ptr<TPackage> pPackage)
{
    qCInfo(lcInstallation) << "installOrUpdatePackage: " << pPackage->name();
    if (findInstallation(pPackage->name()))
        return;
    const TPackageConfigurationReader *Remote = pPackage->configurationForRunningPlatform();
    if (!Remote)
        return;
    const QDir Directory = installationDirectory(pPackage);
    if (failIfUnusable(pPackage, *Remote, Directory) || !hasRoomFor(pPackage, Directory, *Remote))
        return;
    const TPackageConfigurationReader Local =
        readPackageConfigurationFromInstallationDirectory(Directory);
    const bool FastScan =
        m_filesystemHelper->settings()->fastScan &&
        computeLocalPackageStatus(pPackage) == ELocalPackageStatus::UpdateAvailable;
    const auto Installation = startInstallation(pPackage, Directory, Local, *Remote, true);
    if (Installation)
        Installation->startRequiredChangesComputation(*Remote, Local, FastScan);
}

void TInstallationManager::verifyPackage(std::shared_ptr<TPackage> pPackage)
{
    qCInfo(lcInstallation) << "verifyPackage: " << pPackage->name();
    if (findInstallation(pPackage->name()))
        return;
    const TPackageConfigurationReader *Remote = pPackage->configurationForRunningPlatform();
    if (!Remote)
        return;
    const QDir Directory = installationDirectory(pPackage);
    if (failIfUnusable(pPackage, *Remote, Directory))
        return;
    const TPackageConfigurationReader Local =
        readPackageConfigurationFromInstallationDirectory(Directory);
    const auto Installation = startInstallation(pPackage, Directory, Local, *Remote, false);
    if (Installation)
        Installation->startVerification(Local, true);
}

void TInstallationManager::setPaused(const std::shared_ptr<TPackage> &pPackage, bool Paused)
{
    const auto Installation = findInstallation(pPackage->name());
    if (!Installation)
        return;
    if (Paused)
        Installation->pause();
    else
        Installation->resume();
}

// Documents that describe nothing that may be installed end the request as a failed download,
// before any marker or file is touched, so the tile reports it and a self-update counts as
// failed: documents that failed their signature check, a document that did not parse (installing
// it would write it as the marker of a complete installation), documents that contradict
// themselves on the installation's file system, and documents that name a file inside the
// staging directory of delta bases, which every update with deltas empties. Refused later, by
// the scan, such a file would cost a complete installation its full marker.
bool TInstallationManager::failIfUnusable(const std::shared_ptr<TPackage> &pPackage,
                                          const TPackageConfigurationReader &Remote,
                                          const QDir &Directory)
{
    QString Reason;
    if (pPackage->documentsRefusedForRunningPlatform()) {
        Reason = QStringLiteral("the documents were refused");
    } else if (!Remote.isValid()) {
        Reason = QStringLiteral("package configuration is not valid");
    } else {
        const Qt::CaseSensitivity FileNameCase =
            m_filesystemHelper->fileNameCaseSensitivity(Directory.absolutePath());
        Reason =
            Remote.inconsistency(FileNameCase, TPackageConfigurationReader::windowsFileNames());
        for (auto File = Remote.files().cbegin(); Reason.isEmpty() && File != Remote.files().cend();
             ++File) {
            try {
                Reason = TDeltaBaseStaging::stagingConflict(
                    Directory, File->localFile,
                    m_filesystemHelper->filePathInDirectory(Directory, File->localFile),
                    FileNameCase);
            } catch (const std::runtime_error &) {
                // A name the installation refuses anyway: the scan names it.
            }
        }
    }
    if (Reason.isEmpty())
        return false;
    qCCritical(lcInstallation).noquote()
        << QStringLiteral("installOrUpdatePackage: %1: %2").arg(pPackage->name(), Reason);
    failInstallationLater(pPackage);
    return true;
}

std::shared_ptr<TPackageInstallation> TInstallationManager::startInstallation(
    const std::shared_ptr<TPackage> &pPackage, const QDir &Directory,
    const TPackageConfigurationReader &Local, const TPackageConfigurationReader &Remote,
    bool WithDownload)
{
    try {
        markPackageAsPartiallyInstalled(pPackage, Remote.packageJson(), Remote.assetJson());
    } catch (const std::runtime_error &Error) {
        emit diskAccessFailed(::shared::errorText(Error));
        return {};
    }
    return registerInstallation(pPackage, [&](TPackageInstallation &Installation) {
        Installation.setInstallationDirectory(Directory);
        Installation.setBandwidthLimiter(m_bandwidthLimiter);
        Installation.setVersions(Local.versionString(), Remote.versionString());
        Installation.setInstallationMode(m_installationMode ==
                                                 static_cast<int>(EInstallationMode::SelfUpdate)
                                             ? EInstallationMode::SelfUpdate
                                             : EInstallationMode::Normal);
        if (WithDownload) {
            connect(&Installation, &TPackageInstallation::downloadFinished, this,
                    &TInstallationManager::onDownloadFinished);
        }
        connect(&Installation, &TPackageInstallation::verificationFinished, this,
                &TInstallationManager::onVerificationFinished);
        connect(&Installation, &TPackageInstallation::diskAccessFailed, this,
                &TInstallationManager::onDiskAccessFailed);
    });
}

std::shared_ptr<TPackageInstallation> TInstallationManager::registerInstallation(
    const std::shared_ptr<TPackage> &pPackage,
    const std::function<void(TPackageInstallation &)> &Prepare)
{
    const auto Installation = TPackageInstallation::makeInstallation(pPackage, m_filesystemHelper);
    Prepare(*Installation);
    m_installationsInProgress.push_back(Installation);
    emit installationOrUpdateStarted(*Installation);
    return Installation;
}

// Nothing is written for a package that cannot fit, not even its partial marker: the player frees
// space and asks again, and the tile offers the same download as before.
bool TInstallationManager::hasRoomFor(const std::shared_ptr<TPackage> &pPackage,
                                      const QDir &Directory,
                                      const TPackageConfigurationReader &Remote)
{
    const TDiskSpaceCheck Space = TDiskSpaceCheck::check(Directory, Remote, *m_filesystemHelper);
    if (Space.fits())
        return true;
    qCCritical(lcInstallation) << "installOrUpdatePackage: not enough disk space for "
                               << pPackage->name() << ": needs " << Space.bytesNeeded << " bytes, "
                               << Space.bytesFree << " bytes free on " << Space.volume;
    failInstallationLater(pPackage, EPackageDownloaderError::NotEnoughDiskSpace, &Space);
    return false;
}

void TInstallationManager::failInstallationLater(const std::shared_ptr<TPackage> &pPackage,
                                                 EPackageDownloaderError Reason,
                                                 const TDiskSpaceCheck *pSpace)
{
    const auto Installation =
        registerInstallation(pPackage, [pSpace](TPackageInstallation &Unstarted) {
            if (pSpace)
                Unstarted.setNotEnoughDiskSpace(*pSpace);
        });
    // Callers expect the end after they have returned, as for any installation: the self-updater
    // shows its splash after the request, and the first launch goes on with its other packages.
    QTimer::singleShot(0, this, [this, Installation, Reason] {
        Installation->onDownloadFailed(Reason);
        finishInstallation(Installation);
        if (m_installationsInProgress.empty())
            emit allStartedUpdatesFinished();
    });
}

void TInstallationManager::finishInstallation(
    const std::shared_ptr<TPackageInstallation> &pInstallation)
{
    emit installationOrUpdateFinished(*pInstallation);
    disconnect(pInstallation.get(), &TPackageInstallation::diskAccessFailed, this,
               &TInstallationManager::onDiskAccessFailed);
    const auto Found = std::find(m_installationsInProgress.begin(), m_installationsInProgress.end(),
                                 pInstallation);
    // The list's reference goes; the installation itself is deleted later by the event loop,
    // since this may run inside one of its own slots.
    if (Found != m_installationsInProgress.end())
        m_installationsInProgress.erase(Found);
}

// A save that failed on a disk that is now too small for the rest is reported as the full disk
// it is, with what is still needed; the partial marker stays, so a later run with room goes on.
void TInstallationManager::reportFullDisk(TPackageInstallation &Installation)
{
    const TPackageConfigurationReader *Remote =
        Installation.package()->configurationForRunningPlatform();
    if (Installation.errorReason() != int(EPackageDownloaderError::SavingOperationFailed) ||
        !Remote)
        return;
    const TDiskSpaceCheck Space =
        TDiskSpaceCheck::check(Installation.installationDirectory(), *Remote, *m_filesystemHelper);
    if (Space.fits())
        return;
    qCCritical(lcInstallation) << "onDownloadFinished: the disk ran full for "
                               << Installation.package()->name() << ": needs " << Space.bytesNeeded
                               << " bytes, " << Space.bytesFree << " bytes free on "
                               << Space.volume;
    Installation.setNotEnoughDiskSpace(Space);
}

void TInstallationManager::onDiskAccessFailed(QString ErrorMessage)
{
    emit diskAccessFailed(ErrorMessage);
}

void TInstallationManager::onDownloadFinished(std::shared_ptr<TPackage> PackageBeingInstalled)
{
    qCInfo(lcInstallation) << "onDownloadFinished: " << PackageBeingInstalled->name();
    // Holding our own reference: the verification may finish the installation at once.
    const auto Installation = findInstallation(PackageBeingInstalled->name());
    bool HandedToVerification = false;
    if (Installation) {
        qCInfo(lcInstallation) << "onDownloadFinished found: " << PackageBeingInstalled->name()
                               << " InstallationsInProgress: " << m_installationsInProgress.size();
        if (Installation->succeeded()) {
            try {
                const TPackageConfigurationReader *Remote =
                    PackageBeingInstalled->configurationForRunningPlatform();
                if (!Remote)
                    throw ::shared::TErrorException(
                        EErrorCode::ConfigurationUnavailable, {},
                        QStringLiteral("The package configuration is no longer available."));
                updatePartiallyInstalledPackage(PackageBeingInstalled, Remote->packageJson(),
                                                Remote->assetJson());
                const TPackageConfigurationReader Local =
                    readPackageConfigurationFromInstallationDirectory(
                        Installation->installationDirectory());
                qCInfo(lcInstallation)
                    << "onDownloadFinished LocalConfiguration: " << Local.files().size();
                HandedToVerification = true;
                Installation->startVerification(Local, false);
            } catch (const std::runtime_error &Error) {
                emit diskAccessFailed(::shared::errorText(Error));
                HandedToVerification = false;
                finishInstallation(Installation);
            }
        } else {
            reportFullDisk(*Installation);
            finishInstallation(Installation);
        }
    }
    sendFunnelEvent(QStringLiteral("launcher_downloaded"),
                    QStringLiteral("FunnelFinishedDownloadingFirst"));
    // A verification that was handed the installation reports the end itself, even when it
    // finished at once; reporting it here too would announce the same end twice.
    if (!HandedToVerification && m_installationsInProgress.empty())
        emit allStartedUpdatesFinished();
}

void TInstallationManager::onVerificationFinished(std::shared_ptr<TPackage> PackageBeingInstalled)
{
    qCInfo(lcInstallation) << "onVerificationFinished: " << PackageBeingInstalled->name();
    const auto Installation = findInstallation(PackageBeingInstalled->name());
    if (Installation) {
        qCInfo(lcInstallation) << "onVerificationFinished found package: "
                               << PackageBeingInstalled->name()
                               << " without error: " << Installation->succeeded();
        if (Installation->succeeded()) {
            try {
                const TPackageConfigurationReader *Remote =
                    PackageBeingInstalled->configurationForRunningPlatform();
                if (!Remote)
                    throw ::shared::TErrorException(
                        EErrorCode::ConfigurationUnavailable, {},
                        QStringLiteral("The package configuration is no longer available."));
                markPackageAsFullyInstalled(PackageBeingInstalled, Remote->packageJson(),
                                            Remote->assetJson());
            } catch (const std::runtime_error &Error) {
                emit diskAccessFailed(::shared::errorText(Error));
            }
        }
        PackageBeingInstalled->setVerificationDone();
        finishInstallation(Installation);
    }
    sendFunnelEvent(QStringLiteral("launcher_verified"),
                    QStringLiteral("FunnelFinished_VerifyingFirst"));
    if (m_installationsInProgress.empty())
        emit allStartedUpdatesFinished();
}

} // namespace vorna::launcher
