// The installation manager's side of the disk: where each package lives, its install markers
// and documents there, and the local status they give. The running installations are in
// TInstallationManager.cpp.
#include "TInstallationManager.h"

#include "configuration/TLauncherFilesystemHelper.h"
#include "format/TErrorException.h"
#include "format/TTextError.h"
#include "packages/TLauncherConfigurationReader.h"
#include "packages/TPackage.h"
#include "packages/TPackageBuild.h"
#include "shared/LogCategories.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
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

} // namespace vorna::launcher
