#include "TLauncherConfigurationHandler.h"

#include "TPackageBuild.h"
#include "TPackageConfigurationReader.h"
#include "configuration/TLauncherConfigurationException.h"
#include "format/TTextError.h"
#include "packages/TPackageBuild.h"
#include "packages/TPackageConfigurationReader.h"
#include "shared/LogCategories.h"
#include "shared/NocacheUrl.h"
#include "shared/TDownloadPool.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace vorna::launcher {

namespace {

int timerInterval(qint64 Milliseconds)
{
    return static_cast<int>(std::clamp<qint64>(Milliseconds, 0, INT_MAX));
}

} // namespace

TLauncherConfigurationHandler::TLauncherConfigurationHandler(
    std::shared_ptr<::shared::TDownloadPool> DownloadPool,
    std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper, QObject *Parent)
    : QObject(Parent), m_downloadPool(std::move(DownloadPool)),
      m_filesystemHelper(std::move(FilesystemHelper)),
      m_configurationUrl(m_filesystemHelper->settings()->launcherConfiguration)
{
    ::shared::registerHintMetaTypes();
    connect(m_downloadPool.get(), &::shared::TDownloadPool::success, this,
            &TLauncherConfigurationHandler::onConfigurationDownloadFinished);
    connect(m_downloadPool.get(), &::shared::TDownloadPool::failed, this,
            &TLauncherConfigurationHandler::onConfigurationDownloadFailed);
    m_errorTimer.setSingleShot(true);
    m_errorTimer.setInterval(timerInterval(m_filesystemHelper->settings()->downloadErrorTimeout));
    connect(&m_errorTimer, &QTimer::timeout, this,
            &TLauncherConfigurationHandler::onErrorTimerExpired);
}

TLauncherConfigurationHandler::~TLauncherConfigurationHandler() = default;

void TLauncherConfigurationHandler::requestLauncherConfiguration()
{
    if (m_configurationUrl.isEmpty() || !m_configurationUrl.isValid())
        qCCritical(lcPackages).noquote()
            << QStringLiteral("requestLauncherConfiguration: the settings' "
                              "launcherConfiguration address '%1' is empty or "
                              "invalid")
                   .arg(m_configurationUrl.toString());
    TDocumentVerifier::TBinding binding;
    binding.site = m_configurationUrl;
    const QUrl signature = m_documentVerifier.expect(m_configurationUrl, binding);
    m_downloadPool->enqueue(m_configurationUrl);
    if (signature.isValid())
        m_downloadPool->enqueue(signature);
    startErrorTimer();
}

void TLauncherConfigurationHandler::startErrorTimer()
{
    if (m_state == EMetadataState::NotLoaded)
        m_errorTimer.start();
}

void TLauncherConfigurationHandler::onConfigurationDownloadFinished(QUrl Url, QByteArray Data)
{
    if (Data.isEmpty()) {
        onConfigurationDownloadFailed(Url, QNetworkReply::ContentNotFoundError,
                                      QStringLiteral("Data stream is empty"));
        return;
    }

    // A signed document goes on once its signature is in too, and only when it holds.
    const TDocumentVerifier::TOutcome verified = m_documentVerifier.takeDownload(Url, Data);
    switch (verified.state) {
    case TDocumentVerifier::TOutcome::EState::NotSigned:
        break;
    case TDocumentVerifier::TOutcome::EState::Waiting:
        return;
    case TDocumentVerifier::TOutcome::EState::Rejected:
        rejectDocument(verified.documentUrl, verified.reason);
        return;
    case TDocumentVerifier::TOutcome::EState::Accepted:
        Url = verified.documentUrl;
        Data = verified.document;
        break;
    }

    if (Url == m_configurationUrl && m_errorTimer.isActive() &&
        m_state == EMetadataState::NotLoaded) {
        m_errorTimer.stop();
        try {
            m_launcherConfiguration = std::make_shared<TLauncherConfigurationReader>(
                Data, m_configurationUrl.adjusted(QUrl::RemoveFilename));
        } catch (const TLauncherConfigurationException &exception) {
            qCCritical(lcPackages).noquote()
                << "Launcher configuration could not be parsed:" << ::shared::errorText(exception);
            failMainConfiguration();
            return;
        }
        m_state = EMetadataState::LoadedOnline;
        saveLocalCopy();
        emit mainConfigurationLoaded();
        return;
    }

    if (m_launcherConfiguration && Url == m_launcherConfiguration->hintsUrl()) {
        handleHints(Data);
        return;
    }

    handlePackageConfigurationData(Url, Data);
}

void TLauncherConfigurationHandler::onConfigurationDownloadFailed(QUrl Url,
                                                                  QNetworkReply::NetworkError Code,
                                                                  QString ErrorString)
{
    const TDocumentVerifier::TOutcome verified = m_documentVerifier.takeFailure(Url);
    if (verified.state == TDocumentVerifier::TOutcome::EState::Rejected) {
        qCCritical(lcPackages).noquote()
            << "Download of signature" << Url.toString() << "failed:" << ErrorString;
        rejectDocument(verified.documentUrl, verified.reason);
        return;
    }

    if (Url == m_configurationUrl) {
        // Once the metadata is loaded (the error timer expired first) or has failed, a late
        // report for its address changes nothing.
        if (m_state != EMetadataState::NotLoaded) {
            qCInfo(lcPackages).noquote()
                << "onConfigurationDownloadFailed: ignoring late failure of" << Url.toString()
                << ":" << ErrorString;
            return;
        }
        qCCritical(lcPackages).noquote() << "Download of configuration failed:" << ErrorString;
        m_errorTimer.stop();
        if (Code == QNetworkReply::ContentAccessDenied ||
            Code == QNetworkReply::ContentNotFoundError)
            failMainConfiguration();
        else
            loadLocalCopy();
        return;
    }

    // Every entry waiting for this address loses its package configuration; both documents of
    // an entry are needed.
    bool handled = false;
    for (auto entry = m_pending.begin(); entry != m_pending.end();) {
        if (entry->packageConfigurationUrl == Url || entry->assetConfigurationUrl == Url) {
            qCCritical(lcPackages).noquote()
                << "Download of package configuration/asset from configuration" << Url.toString()
                << "failed:" << ErrorString;
            entry = m_pending.erase(entry);
            handled = true;
        } else {
            ++entry;
        }
    }
    if (handled && m_pending.empty())
        emit packageConfigurationDownloadsFinished();
}

void TLauncherConfigurationHandler::onErrorTimerExpired()
{
    m_errorTimer.stop();
    if (m_state == EMetadataState::NotLoaded) {
        qCWarning(lcPackages).noquote()
            << QStringLiteral("onErrorTimerExpired: no answer from %1 within %2 "
                              "ms; using the local copy")
                   .arg(m_configurationUrl.toString())
                   .arg(m_errorTimer.interval());
        loadLocalCopy();
    }
}

// A document that failed its check counts as a failed download. The metadata takes the path of
// any other metadata failure. A package keeps its tile but gets an empty configuration marked as
// refused, so that installing it fails as a download does and the player is told; nothing of the
// refused bytes is parsed or written to disk.
void TLauncherConfigurationHandler::rejectDocument(const QUrl &Url, const QString &Reason)
{
    if (Url == m_configurationUrl) {
        onConfigurationDownloadFailed(Url, QNetworkReply::UnknownContentError, Reason);
        return;
    }
    bool handled = false;
    for (auto entry = m_pending.begin(); entry != m_pending.end();) {
        if (entry->packageConfigurationUrl != Url && entry->assetConfigurationUrl != Url) {
            ++entry;
            continue;
        }
        qCCritical(lcPackages).noquote()
            << "Download of package configuration/asset from configuration" << Url.toString()
            << "failed:" << Reason;
        if (entry->build) {
            entry->build->configuration = std::make_unique<TPackageConfigurationReader>();
            entry->build->documentsRefused = true;
        }
        entry = m_pending.erase(entry);
        handled = true;
    }
    if (handled && m_pending.empty())
        emit packageConfigurationDownloadsFinished();
}

void TLauncherConfigurationHandler::failMainConfiguration()
{
    m_state = EMetadataState::Failed;
    emit mainConfigurationDownloadFailed();
}

QString TLauncherConfigurationHandler::localCopyPath() const
{
    return m_filesystemHelper->filePathInDirectory(QDir(m_filesystemHelper->applicationDirectory()),
                                                   localCopyFileName());
}

void TLauncherConfigurationHandler::loadLocalCopy()
{
    try {
        const QString path = localCopyPath();
        const QByteArray data = m_filesystemHelper->readFileIfPresent(path);
        if (data.isEmpty()) {
            qCCritical(lcPackages).noquote()
                << "loadLocalCopy: no local copy of the launcher configuration at" << path;
            failMainConfiguration();
            return;
        }
        m_launcherConfiguration = std::make_shared<TLauncherConfigurationReader>(
            data, QUrl::fromLocalFile(path).adjusted(QUrl::RemoveFilename));
        m_offline = true;
        m_state = EMetadataState::LoadedOffline;
        qCInfo(lcPackages).noquote() << "loadLocalCopy: launcher configuration loaded from" << path;
    } catch (const std::runtime_error &exception) {
        qCCritical(lcPackages).noquote()
            << "loadLocalCopy: the local copy of the launcher configuration "
               "cannot be used:"
            << ::shared::errorText(exception);
        m_state = EMetadataState::Failed;
        emit diskAccessFailed(::shared::errorText(exception));
        return;
    }
    emit mainConfigurationLoaded();
}

void TLauncherConfigurationHandler::saveLocalCopy()
{
    if (!m_launcherConfiguration)
        return;
    try {
        m_filesystemHelper->writeFileCreatingDirectory(localCopyPath(),
                                                       m_launcherConfiguration->rawDocument());
    } catch (const std::runtime_error &exception) {
        emit diskAccessFailed(::shared::errorText(exception));
    }
}

void TLauncherConfigurationHandler::handleHints(const QByteArray &Data)
{
    std::vector<::shared::THint> hints = ::shared::parseHints(Data);
    const std::optional<::shared::THint> chosen =
        ::shared::chooseHint(hints, QDateTime::currentDateTimeUtc());
    if (!chosen)
        return;
    m_currentHint = *chosen;
    m_hints = std::move(hints);
    emit hintAreaDataReceived(m_currentHint);
    emit hintsAreaDataReceived(m_hints);
}

bool TLauncherConfigurationHandler::handlePackageConfigurationData(const QUrl &Url,
                                                                   const QByteArray &Data)
{
    bool handled = false;
    for (auto entry = m_pending.begin(); entry != m_pending.end();) {
        const bool isPackageDocument = entry->packageConfigurationUrl == Url;
        const bool isAssetDocument = entry->assetConfigurationUrl == Url;
        if (!isPackageDocument && !isAssetDocument) {
            ++entry;
            continue;
        }
        handled = true;
        // The pool fetches an address once, so a build naming the same address twice gets the
        // one answer as both documents.
        if (isPackageDocument)
            entry->packageConfigurationData = Data;
        if (isAssetDocument)
            entry->assetConfigurationData = Data;
        if (isComplete(*entry)) {
            apply(*entry);
            entry = m_pending.erase(entry);
        } else {
            ++entry;
        }
    }
    if (handled && m_pending.empty())
        emit packageConfigurationDownloadsFinished();
    return handled;
}

bool TLauncherConfigurationHandler::isComplete(const TPendingConfigurationDownload &Entry)
{
    return (!Entry.packageConfigurationUrl.isValid() ||
            !Entry.packageConfigurationData.isEmpty()) &&
           (!Entry.assetConfigurationUrl.isValid() || !Entry.assetConfigurationData.isEmpty());
}

// A build that names no package document has nothing to describe its files: it stays without
// configuration (not offered) rather than getting an empty, invalid one.
void TLauncherConfigurationHandler::apply(const TPendingConfigurationDownload &Entry)
{
    if (!Entry.build || !Entry.packageConfigurationUrl.isValid() ||
        Entry.packageConfigurationData.isEmpty())
        return;
    if (Entry.assetConfigurationUrl.isValid() && Entry.assetConfigurationData.isEmpty())
        return;
    Entry.build->configuration = std::make_unique<TPackageConfigurationReader>(
        Entry.packageConfigurationData, Entry.assetConfigurationData,
        Entry.packageConfigurationUrl.adjusted(QUrl::RemoveFilename),
        Entry.assetConfigurationUrl.adjusted(QUrl::RemoveFilename));
}

// What a package or asset document must be: the metadata's snapshot of it, and the installed
// copy as the floor of its serial. The launcher's own package is installed elsewhere.
TDocumentVerifier::TBinding
TLauncherConfigurationHandler::binding(const TPendingConfigurationDownload &Entry,
                                       TDocumentVerifier::EKind Kind) const
{
    const bool isPackage = Kind == TDocumentVerifier::EKind::Package;
    TDocumentVerifier::TBinding binding;
    binding.kind = Kind;
    binding.packageName = Entry.package->name();
    const TDocumentSnapshot &snapshot =
        isPackage ? Entry.build->packageSnapshot : Entry.build->assetsSnapshot;
    binding.sha256 = snapshot.sha256;
    binding.size = snapshot.size;
    if (Entry.package->isLauncherPackage())
        return binding;
    // Read only: nothing is created for a package whose documents may yet be refused. A
    // directory name that would leave the packages directory has no installed copy.
    try {
        const std::shared_ptr<const TLauncherSettings> settings = m_filesystemHelper->settings();
        const QDir packages(m_filesystemHelper->filePathInDirectory(
            QDir(m_filesystemHelper->applicationDirectory()), settings->packages));
        const QDir installation(
            m_filesystemHelper->filePathInDirectory(packages, Entry.package->directoryName()));
        binding.installed =
            m_filesystemHelper->readFileIfPresent(m_filesystemHelper->filePathInDirectory(
                installation, isPackage ? settings->packageFile : settings->assetFile));
    } catch (const std::runtime_error &) {
        binding.installed.clear();
    }
    return binding;
}

QUrl TLauncherConfigurationHandler::onlineAddress(const QUrl &Url) const
{
    if (m_filesystemHelper->settings()->appendNocacheToPackageUrls)
        return ::shared::appendNocacheToUrl(Url);
    return Url;
}

void TLauncherConfigurationHandler::appendPendingEntry(const std::shared_ptr<TPackage> &Package,
                                                       bool IsLauncherPackage)
{
    TPackageBuild *build = Package->selectBuildForRunningPlatform();
    if (!build)
        return;

    TPendingConfigurationDownload entry;
    entry.package = Package;
    entry.build = build;
    if (m_offline && !IsLauncherPackage) {
        const std::shared_ptr<const TLauncherSettings> settings = m_filesystemHelper->settings();
        const QDir installationDirectory(m_filesystemHelper->filePathInDirectory(
            m_filesystemHelper->packagesDirectory(), Package->directoryName()));
        entry.packageConfigurationUrl = QUrl::fromLocalFile(
            m_filesystemHelper->filePathInDirectory(installationDirectory, settings->packageFile));
        // Only a build with an asset document has an asset file installed; asking for a file
        // that cannot exist would drop the package.
        if (build->assetsUrl.isValid())
            entry.assetConfigurationUrl =
                QUrl::fromLocalFile(m_filesystemHelper->filePathInDirectory(installationDirectory,
                                                                            settings->assetFile));
    } else {
        entry.packageConfigurationUrl = onlineAddress(build->url);
        entry.assetConfigurationUrl = onlineAddress(build->assetsUrl);
    }
    m_pending.push_back(std::move(entry));
}

void TLauncherConfigurationHandler::downloadPackageConfigurations()
{
    if (!m_launcherConfiguration)
        return;

    std::vector<QUrl> addresses;
    try {
        const std::shared_ptr<TPackage> &launcherPackage =
            m_launcherConfiguration->launcherPackage();
        if (!m_offline && launcherPackage)
            appendPendingEntry(launcherPackage, true);
        for (const std::shared_ptr<TPackage> &package : m_launcherConfiguration->packages())
            appendPendingEntry(package, false);

        // An entry that names no valid address can never receive anything: it is complete now.
        m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(),
                                       [](const TPendingConfigurationDownload &Entry) {
                                           return !Entry.packageConfigurationUrl.isValid() &&
                                                  !Entry.assetConfigurationUrl.isValid();
                                       }),
                        m_pending.end());

        if (m_pending.empty()) {
            emit packageConfigurationDownloadsFinished();
            return;
        }
        for (const TPendingConfigurationDownload &entry : m_pending) {
            // Offline, the documents are the installation's own copies, written only from
            // documents that passed.
            const auto add = [this, &addresses, &entry](const QUrl &Address,
                                                        TDocumentVerifier::EKind Kind) {
                if (!Address.isValid())
                    return;
                addresses.push_back(Address);
                const QUrl signature =
                    m_offline ? QUrl() : m_documentVerifier.expect(Address, binding(entry, Kind));
                if (signature.isValid())
                    addresses.push_back(signature);
            };
            add(entry.packageConfigurationUrl, TDocumentVerifier::EKind::Package);
            add(entry.assetConfigurationUrl, TDocumentVerifier::EKind::Assets);
        }
    } catch (const std::runtime_error &exception) {
        emit diskAccessFailed(::shared::errorText(exception));
        return;
    }

    // The pool may report a failure from inside enqueue, which changes the pending list, so the
    // addresses are collected first.
    for (const QUrl &address : addresses)
        m_downloadPool->enqueue(address);
}

} // namespace vorna::launcher
