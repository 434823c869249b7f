#include "TLauncherApplication.h"

#include "LauncherVersion.h"
#include "TDialogTestHook.h"
#include "TLauncherSelfUpdater.h"
#include "TPauseTestHook.h"
#include "configuration/FunnelEvents.h"
#include "download/TCloudflareCdnTrace.h"
#include "format/TTextError.h"
#include "installation/TInstallationManager.h"
#include "packages/TLauncherConfigurationHandler.h"
#include "packages/TLauncherConfigurationReader.h"
#include "shared/LogCategories.h"
#include "shared/QNetworkAccessManagerWrapper.h"
#include "shared/TBandwidthLimiter.h"
#include "shared/TDownloadPool.h"
#include "shared/TJsonDocumentHttpPostSender.h"
#include "systemsurvey/TSystemSurveyAsJsonDocumentCreator.h"
#include "systemsurvey/TSystemSurveyCreator.h"
#include "systemsurvey/TSystemSurveyToJsonConverter.h"
#include "systemsurvey/TSystemSurveyUploader.h"
#include "systemsurvey/platform/SystemSurveyPlatform.h"
#include "ui/TLauncherMainWindow.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPixmap>
#include <QProcess>
#include <QSplashScreen>

namespace vorna::launcher {

TLauncherApplication *TLauncherApplication::s_instance = nullptr;

namespace {

QString splashImage(TLauncherApplication::ESplashKind Kind)
{
    switch (Kind) {
    case TLauncherApplication::ESplashKind::Waiting:
        return QStringLiteral(":/images/launcher/LauncherLogo_QT.png");
    case TLauncherApplication::ESplashKind::UpdatingLauncher:
        return QStringLiteral(":/images/launcher/LauncherLogo_UpdatingLauncher.png");
    case TLauncherApplication::ESplashKind::LaunchingClient:
        return QStringLiteral(":/images/launcher/CorvaneLogo_LaunchingClient.png");
    }
    return {};
}

} // namespace

TLauncherApplication::TLauncherApplication(int &Argc, char **Argv)
    : QApplication(Argc, Argv),
      m_firstLaunchOption(
          {QStringLiteral("l"), QStringLiteral("first-launch")},
          QStringLiteral("Automatically download default packages when starting up.")),
      m_skipSelfUpdateOption({QStringLiteral("s"), skipSelfUpdateOptionName()},
                             QStringLiteral("Do not perform self-update check on launch.")),
      m_showUiOption({QStringLiteral("u"), QStringLiteral("show-ui")},
                     QStringLiteral("Show list of available packages after intial checks.")),
      m_patchOption({QStringLiteral("p"), QStringLiteral("patch")},
                    QStringLiteral("Start update of <patchexecutable> without user interaction."),
                    QStringLiteral("patchexecutable")),
      m_launcherRunningMarker(launcherRunningMarkerName(), true),
      m_funnelIdentifierKey(QStringLiteral("FunnelUuid"))
{
    // Members are built here in declaration order, which is also the order of their destruction
    // in reverse.
    auto networkAccessManager = std::make_shared<QNetworkAccessManager>();
    auto networkWrapper =
        std::make_shared<::shared::QNetworkAccessManagerWrapper>(networkAccessManager);
    m_downloadPool = std::make_shared<::shared::TDownloadPool>(6, networkWrapper, nullptr, true);
    m_filesystemHelper = std::make_shared<TLauncherFilesystemHelper>();
    m_translationManager = std::make_shared<vorna::shared::TTranslationManager>();
    const auto settings = m_filesystemHelper->settings();
    m_downloadPool->setTransferTimeout(settings->transferTimeout);
    m_downloadPool->setRequestDeadline(settings->documentTimeout);
    m_bandwidthLimiter =
        std::make_shared<::shared::TBandwidthLimiter>(qint64(settings->maxDownloadRate) * 1000);
    m_downloadPool->setBandwidthLimiter(m_bandwidthLimiter);
    m_cdnTrace =
        std::make_shared<TCloudflareCdnTrace>(settings->cdnDiagnosticsTrace, m_downloadPool);
    m_configurationHandler =
        std::make_unique<TLauncherConfigurationHandler>(m_downloadPool, m_filesystemHelper);
    m_selfUpdater = std::make_unique<TLauncherSelfUpdater>(m_filesystemHelper);

    m_parser.addOption(m_firstLaunchOption);
    m_parser.addOption(m_skipSelfUpdateOption);
    m_parser.addOption(m_showUiOption);
    m_parser.addOption(m_patchOption);
    s_instance = this;

    loadTranslation();

    setApplicationName(QStringLiteral("Corvane Online"));
    setApplicationDisplayName(applicationName());
    setOrganizationName(QStringLiteral("Kelmont GmbH"));
    setOrganizationDomain(QStringLiteral("kelmont.example"));

    m_waitNotificationTimer.setSingleShot(true);
    m_waitNotificationTimer.setInterval(static_cast<int>(settings->waitNotificationTimeout));
    connect(&m_waitNotificationTimer, &QTimer::timeout, this,
            [this] { showSplashScreen(ESplashKind::Waiting); });
    m_clientStartPollTimer.setInterval(200);
    connect(&m_clientStartPollTimer, &QTimer::timeout, this,
            &TLauncherApplication::checkClientStarted);
    connectSignals();
    setFunnelTarget({this, m_funnelIdentifierKey, [this]() -> QUrl {
                         const auto configuration = m_configurationHandler->launcherConfiguration();
                         return configuration ? configuration->funnelUrl() : QUrl();
                     }});

    // Unknown options, a missing value and stray arguments are deliberately ignored.
    m_parser.parse(QCoreApplication::arguments());
    m_dialogTestHook = TDialogTestHook::createFromEnvironment();
    m_pauseTestHook = TPauseTestHook::createFromEnvironment();
}

TLauncherApplication::~TLauncherApplication()
{
    if (s_instance == this)
        s_instance = nullptr;
}

void TLauncherApplication::connectSignals()
{
    TLauncherConfigurationHandler *handler = m_configurationHandler.get();
    connect(handler, &TLauncherConfigurationHandler::mainConfigurationLoaded, this,
            &TLauncherApplication::onMainConfigurationLoaded);
    connect(handler, &TLauncherConfigurationHandler::mainConfigurationDownloadFailed, this,
            &TLauncherApplication::onMainConfigurationDownloadFailed);
    connect(handler, &TLauncherConfigurationHandler::diskAccessFailed, this,
            &TLauncherApplication::onCriticalFileError);
    connect(handler, &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished, this,
            &TLauncherApplication::onPackageConfigurationDownloadsFinished);
    connect(m_selfUpdater.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired,
            this, &TLauncherApplication::onSelfUpdateFinished);
    connect(m_selfUpdater.get(), &TLauncherSelfUpdater::updateFailed, this,
            &TLauncherApplication::onLauncherReadyForAction);
    connect(m_selfUpdater.get(), &TLauncherSelfUpdater::diskAccessFailed, this,
            &TLauncherApplication::onCriticalFileError);
}

void TLauncherApplication::loadTranslation()
{
    if (std::unique_ptr<QTranslator> old = m_translationManager->takeTranslator())
        removeTranslator(old.get());
    auto translator = std::make_unique<QTranslator>();
    if (translator->load(QStringLiteral("launcher.en"), applicationDirPath()))
        installTranslator(translator.get());
    m_translationManager->setTranslator(std::move(translator));
}

void TLauncherApplication::startLoading()
{
    // The command line tells after the fact how an installer, the client or a self-update
    // restart started this launcher.
    qCInfo(lcApp) << "startLoading arguments:" << QCoreApplication::arguments()
                  << "pid:" << QCoreApplication::applicationPid();
    for (const QString &note : m_filesystemHelper->settings()->fallbackNotes)
        qCWarning(lcApp).noquote() << note;
    // The request can end synchronously (an unusable address, then the local copy), up to a
    // dialog or the main window; a timer started after it would bring up the splash over them.
    m_waitNotificationTimer.start();
    m_configurationHandler->setOffline(false);
    m_configurationHandler->requestLauncherConfiguration();
}

int TLauncherApplication::run()
{
    if (m_finished)
        return m_exitCode;
    return exec();
}

void TLauncherApplication::finish(int ExitCode)
{
    // QCoreApplication::exit() does nothing while no event loop runs; run() then returns the code.
    m_finished = true;
    m_exitCode = ExitCode;
    exit(ExitCode);
}

bool TLauncherApplication::isRestartAfterSelfUpdate() const
{
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3 ||
        arguments.constLast() != QStringLiteral("--%1").arg(skipSelfUpdateOptionName()))
        return false;
    // The old launcher's program path, as it was started: compared by file name only, with or
    // without the Windows suffix, since a relative path or another spelling names the same file.
    const auto programName = [](const QString &Path) {
        QString name = QFileInfo(Path).fileName();
        if (name.endsWith(QStringLiteral(".exe"), Qt::CaseInsensitive))
            name.chop(4);
        return name;
    };
    return programName(arguments.at(1))
               .compare(programName(QCoreApplication::applicationFilePath()),
                        Qt::CaseInsensitive) == 0;
}

void TLauncherApplication::showSplashScreen(ESplashKind Kind)
{
    if (m_splashScreen) {
        m_splashScreen->close();
        processEvents();
    }
    m_splashScreen = std::make_unique<QSplashScreen>(QPixmap(splashImage(Kind)));
    m_splashScreen->show();
    processEvents();
    m_waitNotificationTimer.stop();
}

void TLauncherApplication::hideSplashScreen()
{
    if (m_splashScreen)
        m_splashScreen->hide();
}

void TLauncherApplication::onMainConfigurationLoaded()
{
    try {
        const auto configuration = m_configurationHandler->launcherConfiguration();
        if (configuration && configuration->hardwareSurveyUrl().isValid()) {
            m_surveyUploader.reset();
            m_surveyUploader = std::make_unique<systemsurvey::TSystemSurveyUploader>(
                configuration->hardwareSurveyUrl(),
                std::make_shared<systemsurvey::TSystemSurveyAsJsonDocumentCreator>(
                    std::make_shared<systemsurvey::TSystemSurveyCreator>(
                        systemsurvey::createSystemSurveyValueRetriever()),
                    std::make_shared<systemsurvey::TSystemSurveyToJsonConverter>()),
                std::make_shared<::shared::TJsonDocumentHttpPostSender>());
            m_surveyUploader->upload();
        }
        m_configurationHandler->downloadPackageConfigurations();
    } catch (const std::runtime_error &e) {
        onCriticalFileError(::shared::errorText(e));
    }
}

void TLauncherApplication::onMainConfigurationDownloadFailed()
{
    m_waitNotificationTimer.stop();
    hideSplashScreen();
    QMessageBox box(QMessageBox::Information, QStringLiteral("Corvane Online cannot be started"),
                    QStringLiteral("Corvane Online is currently down for maintenance. Please try "
                                   "again later."),
                    QMessageBox::Close);
    box.exec();
    finish(1);
}

void TLauncherApplication::onCriticalFileError(const QString &Message)
{
    m_waitNotificationTimer.stop();
    hideSplashScreen();
    // Unquoted: quoting would escape the backslashes and every letter beyond ASCII of a path.
    qCCritical(lcApp).noquote() << "critical file error:" << Message;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Corvane Online cannot start"),
                    QStringLiteral("A critical error occurred while accessing a file:\n") +
                        Message + QStringLiteral("\nPlease reinstall Launcher."),
                    QMessageBox::Ok);
    box.exec();
    finish(1);
}

void TLauncherApplication::onPackageConfigurationDownloadsFinished()
{
    try {
        const auto configuration = m_configurationHandler->launcherConfiguration();
        if (!isSelfUpdateSkipped() && configuration && configuration->launcherPackage()) {
            const std::shared_ptr<TPackage> &launcherPackage = configuration->launcherPackage();
            const TPackageConfigurationReader *launcherConfiguration =
                launcherPackage->configurationForRunningPlatform();
            // Refused documents say nothing about the launcher's version: it goes on as one
            // whose package has no configuration.
            if (launcherPackage->documentsRefusedForRunningPlatform()) {
                qCCritical(lcApp)
                    << "self-update skipped: the documents of the launcher package were "
                       "refused";
                launcherConfiguration = nullptr;
            }
            if (launcherConfiguration) {
                QString remoteVersion = launcherConfiguration->packageVersion();
                if (remoteVersion.isEmpty())
                    remoteVersion = QStringLiteral("?");
                if (remoteVersion != launcherVersion()) {
                    qCInfo(lcApp) << "self-update from" << launcherVersion() << "to"
                                  << remoteVersion;
                    m_selfUpdater->startSelfUpdate(launcherPackage);
                    showSplashScreen(ESplashKind::UpdatingLauncher);
                    return;
                }
            }
        }
        m_selfUpdater->cleanupOldLauncherVersion();
        onLauncherReadyForAction();
    } catch (const std::runtime_error &e) {
        onCriticalFileError(::shared::errorText(e));
    }
}

void TLauncherApplication::onSelfUpdateFinished()
{
    QStringList arguments = QCoreApplication::arguments();
    arguments.append(QStringLiteral("--%1").arg(skipSelfUpdateOptionName()));
    const bool started = QProcess::startDetached(QCoreApplication::applicationFilePath(), arguments,
                                                 QDir::currentPath());
    qCInfo(lcApp) << "restart after self-update, started:" << started;
    finish(started ? 0 : 1);
}

void TLauncherApplication::onLauncherReadyForAction()
{
    qCInfo(lcApp) << "onLauncherReadyForAction";
    try {
        const auto configuration = m_configurationHandler->launcherConfiguration();
        m_installationManager =
            std::make_unique<TInstallationManager>(configuration, m_filesystemHelper);
        m_installationManager->setBandwidthLimiter(m_bandwidthLimiter);
        std::vector<std::shared_ptr<TPackage>> forced = takeForcedPatches();

        connect(m_installationManager.get(), &TInstallationManager::allStartedUpdatesFinished, this,
                &TLauncherApplication::onAllStartedUpdatesFinished);
        connect(m_installationManager.get(), &TInstallationManager::diskAccessFailed, this,
                &TLauncherApplication::onCriticalFileError);

        m_waitNotificationTimer.stop();
        hideSplashScreen();

        if (isFirstLaunch()) {
            showMainWindow();
            installOnFirstLaunch();
        } else if (!patchValue().isEmpty() || !forced.empty()) {
            showMainWindow();
            patchPackages(std::move(forced));
        } else if (isShowUiRequested()) {
            showMainWindow();
        } else {
            const std::shared_ptr<TPackage> defaultPackage = findDefaultPackage();
            if (defaultPackage &&
                defaultPackage->localPackageStatus() == ELocalPackageStatus::UpToDate)
                startPackageAndExit(defaultPackage);
            else
                showMainWindow();
        }
    } catch (const std::runtime_error &e) {
        onCriticalFileError(::shared::errorText(e));
    }
}

std::vector<std::shared_ptr<TPackage>> TLauncherApplication::takeForcedPatches()
{
    // A "FORCE_PATCH" file in an installation asks for one update of its package; it is used up.
    std::vector<std::shared_ptr<TPackage>> forced;
    const auto configuration = m_configurationHandler->launcherConfiguration();
    if (!configuration)
        return forced;
    for (const auto &package : configuration->availablePackages()) {
        const QString marker = m_filesystemHelper->joinPath(
            {m_installationManager->installationDirectory(package).absolutePath(),
             QStringLiteral("FORCE_PATCH")});
        if (m_filesystemHelper->fileExists(marker)) {
            m_filesystemHelper->deleteFile(marker);
            forced.push_back(package);
        }
    }
    return forced;
}

void TLauncherApplication::installOnFirstLaunch()
{
    bool first = true;
    for (const auto &package : managedPackages()) {
        if (!package->installAutomatically())
            continue;
        m_installationManager->installOrUpdatePackage(package);
        // A package whose documents were refused installs nothing and is not made the default:
        // the next start would take it for the player's choice.
        if (first) {
            first = false;
            if (package->documentsRefusedForRunningPlatform())
                continue;
            m_installationManager->clearDefaultMarkers();
            m_filesystemHelper->writeFileCreatingDirectory(
                m_filesystemHelper->joinPath(
                    {m_installationManager->installationDirectory(package).absolutePath(),
                     QStringLiteral("default")}),
                QByteArray());
            package->setDefault(true);
        }
    }
}

void TLauncherApplication::patchPackages(std::vector<std::shared_ptr<TPackage>> Forced)
{
    const std::shared_ptr<TPackage> patched =
        m_installationManager->findPackageByExecutablePath(patchValue());
    if (patched)
        Forced.push_back(patched);
    if (Forced.empty()) {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Client patching failed"),
                        QStringLiteral("Could not determine patch information. Your client "
                                       "might no longer be supported."),
                        QMessageBox::Ok, m_mainWindow.get());
        box.exec();
        return;
    }
    for (const auto &package : Forced)
        m_installationManager->installOrUpdatePackage(package);
}

std::vector<std::shared_ptr<TPackage>> TLauncherApplication::managedPackages() const
{
    const auto configuration = m_configurationHandler->launcherConfiguration();
    if (!configuration)
        return {};
    return configuration->packages();
}

std::shared_ptr<TPackage> TLauncherApplication::findDefaultPackage() const
{
    if (!m_installationManager)
        return {};
    for (const auto &package : managedPackages()) {
        if (package->isDefault())
            return package;
    }
    return {};
}

} // namespace vorna::launcher
