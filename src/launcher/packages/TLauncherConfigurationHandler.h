#pragma once

#include "TLauncherConfigurationReader.h"
#include "configuration/TLauncherFilesystemHelper.h"
#include "format/TDocumentVerifier.h"
#include "shared/THint.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <vector>

namespace shared {
class TDownloadPool;
}

namespace vorna::launcher {

class TPackageBuild;

// Obtains the launcher metadata (online, or the local copy when the server does not answer in
// time), then every package's configuration documents, and receives the hints document. Every
// result of the application's download pool passes through here; results for addresses it did
// not ask for are ignored.
class TLauncherConfigurationHandler final : public QObject
{
    Q_OBJECT

public:
    TLauncherConfigurationHandler(std::shared_ptr<::shared::TDownloadPool> DownloadPool,
                                  std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper,
                                  QObject *Parent = nullptr);
    ~TLauncherConfigurationHandler() override;
    Q_DISABLE_COPY(TLauncherConfigurationHandler)

    // The file name of the copy of the last metadata loaded online, next to the executable.
    static QString localCopyFileName() { return QStringLiteral("launchermetadata.json"); }

    // Enqueues the metadata address and starts the error timer, in this order.
    void requestLauncherConfiguration();
    // Starts the wait for the metadata. Does nothing once the metadata is loaded or has failed:
    // an invalid address fails synchronously inside enqueue, and a timer started after that
    // would load the local copy a second time.
    void startErrorTimer();
    bool isErrorTimerActive() const { return m_errorTimer.isActive(); }

    // Requests the configuration documents of the launcher's own package (online only) and of
    // every package with a build for this machine.
    void downloadPackageConfigurations();

    const QUrl &configurationUrl() const { return m_configurationUrl; }
    const std::shared_ptr<TLauncherConfigurationReader> &launcherConfiguration() const
    {
        return m_launcherConfiguration;
    }
    bool isOffline() const { return m_offline; }
    void setOffline(bool Offline) { m_offline = Offline; }
    const ::shared::THint &currentHint() const { return m_currentHint; }
    const std::vector<::shared::THint> &hints() const { return m_hints; }
    // Entries still waiting for a document.
    int pendingConfigurationDownloads() const { return static_cast<int>(m_pending.size()); }

signals:
    void mainConfigurationLoaded();
    void mainConfigurationDownloadFailed();
    void diskAccessFailed(QString ErrorMessage);
    void packageConfigurationDownloadsFinished();
    void hintAreaDataReceived(const ::shared::THint &Hint);
    void hintsAreaDataReceived(std::vector<::shared::THint> Hints);

private slots:
    void onConfigurationDownloadFinished(QUrl Url, QByteArray Data);
    void onConfigurationDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code,
                                       QString ErrorString);
    void onErrorTimerExpired();

private:
    enum class EMetadataState
    {
        NotLoaded,
        LoadedOnline,
        LoadedOffline,
        Failed,
    };

    struct TPendingConfigurationDownload
    {
        // Keeps the build alive even if the metadata were replaced meanwhile.
        std::shared_ptr<TPackage> package;
        TPackageBuild *build = nullptr;
        QUrl packageConfigurationUrl;
        QUrl assetConfigurationUrl;
        QByteArray packageConfigurationData;
        QByteArray assetConfigurationData;
    };

    void failMainConfiguration();
    void rejectDocument(const QUrl &Url, const QString &Reason);
    void loadLocalCopy();
    void saveLocalCopy();
    QString localCopyPath() const;
    void handleHints(const QByteArray &Data);
    bool handlePackageConfigurationData(const QUrl &Url, const QByteArray &Data);
    void appendPendingEntry(const std::shared_ptr<TPackage> &Package, bool IsLauncherPackage);
    QUrl onlineAddress(const QUrl &Url) const;
    TDocumentVerifier::TBinding binding(const TPendingConfigurationDownload &Entry,
                                        TDocumentVerifier::EKind Kind) const;
    static bool isComplete(const TPendingConfigurationDownload &Entry);
    static void apply(const TPendingConfigurationDownload &Entry);

    std::shared_ptr<::shared::TDownloadPool> m_downloadPool;
    std::shared_ptr<TLauncherFilesystemHelper> m_filesystemHelper;
    QUrl m_configurationUrl;
    QTimer m_errorTimer;
    EMetadataState m_state = EMetadataState::NotLoaded;
    std::shared_ptr<TLauncherConfigurationReader> m_launcherConfiguration;
    bool m_offline = false;
    ::shared::THint m_currentHint;
    std::vector<::shared::THint> m_hints;
    std::vector<TPendingConfigurationDownload> m_pending;
    TDocumentVerifier m_documentVerifier;
};

} // namespace vorna::launcher
