#pragma once

#include "configuration/TLauncherFilesystemHelper.h"
#include "shared/TTranslationManager.h"
#include "shared/platform/TNamedFileMapping.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QTimer>

#include <memory>
#include <vector>

class QSplashScreen;

namespace shared {
class TBandwidthLimiter;
class TDownloadPool;
} // namespace shared
namespace systemsurvey {
class TSystemSurveyUploader;
}

namespace vorna::launcher {

class TCloudflareCdnTrace;
class TDialogTestHook;
class TPauseTestHook;
class TInstallationManager;
class TLauncherConfigurationHandler;
class TLauncherMainWindow;
class TLauncherSelfUpdater;
class TPackage;

// The application object: owns every long-lived object of the launcher, wires their signals to
// its handlers and runs the start-up flow up to the start of the game client.
class TLauncherApplication final : public QApplication
{
public:
    enum class ESplashKind
    {
        Waiting,
        UpdatingLauncher,
        LaunchingClient
    };

    TLauncherApplication(int &Argc, char **Argv);
    ~TLauncherApplication() override;
    Q_DISABLE_COPY(TLauncherApplication)

    static TLauncherApplication *instance() { return s_instance; }

    const std::shared_ptr<TLauncherFilesystemHelper> &filesystemHelper() const
    {
        return m_filesystemHelper;
    }
    TLauncherConfigurationHandler *configurationHandler() const
    {
        return m_configurationHandler.get();
    }
    const QString &funnelIdentifierKey() const { return m_funnelIdentifierKey; }

    bool isFirstLaunch() const { return m_parser.isSet(m_firstLaunchOption); }
    bool isSelfUpdateSkipped() const { return m_parser.isSet(m_skipSelfUpdateOption); }
    bool isShowUiRequested() const { return m_parser.isSet(m_showUiOption); }
    QString patchValue() const { return m_parser.value(m_patchOption); }

    // True for the launcher that a self-update started: its arguments are the old launcher's
    // whole argument list, program path first, followed by "--skip-selfupdate".
    bool isRestartAfterSelfUpdate() const;

    // Asks for the launcher metadata and starts the timers of the start-up flow.
    void startLoading();
    // Runs the event loop, unless the flow already ended before it could run (a metadata failure
    // reported from inside startLoading); returns the exit code either way.
    int run();

private:
    void loadTranslation();
    void connectSignals();

    void showSplashScreen(ESplashKind Kind);
    void hideSplashScreen();
    void onMainConfigurationLoaded();
    void onMainConfigurationDownloadFailed();
    void onCriticalFileError(const QString &Message);
    void onPackageConfigurationDownloadsFinished();
    void onLauncherReadyForAction();
    void showMainWindow();
    void onAllStartedUpdatesFinished();
    void startPackageAndExit(const std::shared_ptr<TPackage> &Package);
    void checkClientStarted();
    void onClientStartOrInstallTriggeredFromUI(const std::shared_ptr<TPackage> &Package);
    void onClientVerifyTriggeredFromUI(const std::shared_ptr<TPackage> &Package);
    void onDefaultChanged(const std::shared_ptr<TPackage> &Package, bool IsDefault);
    void onSelfUpdateFinished();
    // Ends the event loop with ExitCode; remembered for run() when no event loop runs yet.
    void finish(int ExitCode);
    // The packages the installation manager walks: those of the launcher metadata.
    std::vector<std::shared_ptr<TPackage>> managedPackages() const;
    // The steps of onLauncherReadyForAction.
    std::vector<std::shared_ptr<TPackage>> takeForcedPatches();
    void installOnFirstLaunch();
    void patchPackages(std::vector<std::shared_ptr<TPackage>> Forced);
    std::shared_ptr<TPackage> findDefaultPackage() const;

    static TLauncherApplication *s_instance;

    std::shared_ptr<::shared::TDownloadPool> m_downloadPool;
    // The one cap of the download rate, shared by every pool of this run.
    std::shared_ptr<::shared::TBandwidthLimiter> m_bandwidthLimiter;
    std::shared_ptr<TLauncherFilesystemHelper> m_filesystemHelper;
    std::shared_ptr<vorna::shared::TTranslationManager> m_translationManager;
    std::shared_ptr<TCloudflareCdnTrace> m_cdnTrace;
    std::unique_ptr<TLauncherConfigurationHandler> m_configurationHandler;
    std::unique_ptr<TLauncherSelfUpdater> m_selfUpdater;
    std::unique_ptr<TInstallationManager> m_installationManager;
    std::unique_ptr<systemsurvey::TSystemSurveyUploader> m_surveyUploader;
    std::unique_ptr<TLauncherMainWindow> m_mainWindow;
    std::unique_ptr<QSplashScreen> m_splashScreen;
    QCommandLineParser m_parser;
    QCommandLineOption m_firstLaunchOption;
    QCommandLineOption m_skipSelfUpdateOption;
    QCommandLineOption m_showUiOption;
    QCommandLineOption m_patchOption;
    QTimer m_waitNotificationTimer;
    QElapsedTimer m_clientStartClock;
    QTimer m_clientStartPollTimer;
    ::shared::TNamedFileMapping m_launcherRunningMarker;
    QString m_funnelIdentifierKey;
    // Only set when a test asks for them through the environment (see the classes).
    std::unique_ptr<TDialogTestHook> m_dialogTestHook;
    std::unique_ptr<TPauseTestHook> m_pauseTestHook;
    bool m_finished = false;
    int m_exitCode = 0;
};

} // namespace vorna::launcher
