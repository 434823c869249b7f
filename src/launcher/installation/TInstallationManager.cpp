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
#include "shared/LogCategories.h"

#include <QDebug>
#include <QTimer>

#include <algorithm>
#include <stdexcept>

namespace vorna::launcher {

TInstallationManager::TInstallationManager(
    std::shared_ptr<TLauncherConfigurationReader> PackageSource,
    std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper)
    : m_packageSource(std::move(PackageSource)), m_filesystemHelper(std::move(FilesystemHelper))
{
    if (m_packageSource)
        refreshLocalPackageStatuses();
}

TInstallationManager::~TInstallationManager() = default;

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
    if (Installation.errorReason() != EPackageDownloaderError::SavingOperationFailed || !Remote)
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
                        ::shared::EErrorCode::ConfigurationUnavailable, {},
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
                        ::shared::EErrorCode::ConfigurationUnavailable, {},
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
