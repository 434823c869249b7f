// The launcher's window and the player's actions in it, and the start of the client: the part of
// the application that runs once the documents are in and the updates are under way.
#include "TLauncherApplication.h"

#include "LauncherVersion.h"
#include "format/TTextError.h"
#include "installation/TInstallationManager.h"
#include "packages/TLauncherConfigurationHandler.h"
#include "packages/TLauncherConfigurationReader.h"
#include "shared/LogCategories.h"
#include "shared/TDownloadPool.h"
#include "shared/TFileSystemHelper.h"
#include "shared/platform/TNamedFileMapping.h"
#include "ui/TLauncherMainWindow.h"

#include <QDebug>
#include <QFileInfo>
#include <QProcess>
#include <QSplashScreen>

namespace vorna::launcher {

void TLauncherApplication::showMainWindow()
{
    qCInfo(lcApp) << "showMainWindow";
    const auto configuration = m_configurationHandler->launcherConfiguration();
    if (!m_mainWindow) {
        std::vector<std::shared_ptr<TPackage>> packages;
        if (configuration)
            packages = configuration->availablePackages();
        m_mainWindow = std::make_unique<TLauncherMainWindow>(
            packages, m_installationManager.get(),
            configuration && configuration->showPackageNames(), m_downloadPool, m_cdnTrace,
            configuration);
        m_mainWindow->setBandwidthLimiter(m_bandwidthLimiter);
        if (configuration && configuration->hintsUrl().isValid())
            m_downloadPool->enqueue(configuration->hintsUrl());
        connect(m_configurationHandler.get(), &TLauncherConfigurationHandler::hintsAreaDataReceived,
                m_mainWindow.get(), &TLauncherMainWindow::setHints);
        connect(m_mainWindow.get(), &TLauncherMainWindow::defaultChanged, this,
                &TLauncherApplication::onDefaultChanged);
        connect(m_mainWindow.get(), &TLauncherMainWindow::clientPackageButtonClicked, this,
                &TLauncherApplication::onClientStartOrInstallTriggeredFromUI);
        connect(m_mainWindow.get(), &TLauncherMainWindow::clientPackageVerifyButtonClicked, this,
                &TLauncherApplication::onClientVerifyTriggeredFromUI);
    }
    m_mainWindow->show();
}

void TLauncherApplication::onAllStartedUpdatesFinished()
{
    qCInfo(lcApp) << "onAllStartedUpdatesFinished";
    try {
        const auto configuration = m_configurationHandler->launcherConfiguration();
        if (configuration && configuration->preventDefaultAutostart())
            return;
        if (isFirstLaunch()) {
            const std::shared_ptr<TPackage> defaultPackage = findDefaultPackage();
            if (defaultPackage &&
                defaultPackage->localPackageStatus() == ELocalPackageStatus::UpToDate) {
                startPackageAndExit(defaultPackage);
                return;
            }
        }
        if (!patchValue().isEmpty()) {
            if (const auto patched =
                    m_installationManager->findPackageByExecutablePath(patchValue()))
                startPackageAndExit(patched);
        }
    } catch (const std::runtime_error &e) {
        onCriticalFileError(::shared::errorText(e));
    }
}

void TLauncherApplication::startPackageAndExit(const std::shared_ptr<TPackage> &Package)
{
    qCInfo(lcApp) << "startPackageAndExit" << Package->name();
    const QString named = m_installationManager->executablePath(Package);
    const QString program = ::shared::TFileSystemHelper::startableProgram(named);
    QStringList arguments;
    if (const TPackageConfigurationReader *configuration =
            Package->configurationForRunningPlatform())
        arguments = configuration->parameters();
    if (Package->verificationDone())
        arguments.append(QStringLiteral("--package-is-up-to-date"));
    if (program.isEmpty()) {
        qCCritical(lcApp).noquote()
            << "startPackageAndExit: nothing to start for" << Package->name()
            << (named.isEmpty() ? QStringLiteral("(its configuration names no executable)")
                                : QStringLiteral("(%1 does not exist)").arg(named));
        // Started directly, without a window, the launcher would otherwise wait invisibly
        // forever; the window lets the player update, verify or choose another package.
        if (!m_mainWindow || !m_mainWindow->isVisible())
            showMainWindow();
        return;
    }
    const QString workingDirectory = QFileInfo(program).absolutePath();
    if (!QProcess::startDetached(program, arguments, workingDirectory)) {
        qCCritical(lcApp) << "could not start" << program;
        finish(1);
        return;
    }
    m_clientStartClock.start();
    m_clientStartPollTimer.start();
    // Hidden, not closed: closing the last window makes Qt quit with exit code 0 at once, before
    // the client has announced itself or failed to.
    if (m_mainWindow)
        m_mainWindow->hide();
    showSplashScreen(ESplashKind::LaunchingClient);
}

void TLauncherApplication::checkClientStarted()
{
    if (::shared::TNamedFileMapping::canOpenForReading(clientRunningMarkerName())) {
        m_clientStartPollTimer.stop();
        qCInfo(lcApp) << "client started";
        finish(0);
        return;
    }
    const qint64 timeout = m_filesystemHelper->settings()->clientStartTimeout;
    if (m_clientStartClock.elapsed() > timeout ||
        (m_splashScreen && !m_splashScreen->isVisible())) {
        m_clientStartPollTimer.stop();
        qCCritical(lcApp) << "client did not announce itself";
        finish(1);
    }
}

void TLauncherApplication::onClientStartOrInstallTriggeredFromUI(
    const std::shared_ptr<TPackage> &Package)
{
    qCInfo(lcApp) << "onClientStartOrInstallTriggeredFromUI " << Package->name();
    try {
        switch (Package->localPackageStatus()) {
        case ELocalPackageStatus::UpToDate:
            startPackageAndExit(Package);
            break;
        case ELocalPackageStatus::NotInstalled:
        case ELocalPackageStatus::PartiallyInstalled:
        case ELocalPackageStatus::UpdateAvailable:
            m_installationManager->installOrUpdatePackage(Package);
            break;
        case ELocalPackageStatus::NotDetermined:
            break;
        }
    } catch (const std::runtime_error &e) {
        onCriticalFileError(::shared::errorText(e));
    }
}

void TLauncherApplication::onClientVerifyTriggeredFromUI(const std::shared_ptr<TPackage> &Package)
{
    qCInfo(lcApp) << "onClientVerifyTriggeredFromUI " << Package->name();
    try {
        if (Package->localPackageStatus() == ELocalPackageStatus::UpToDate)
            m_installationManager->verifyPackage(Package);
    } catch (const std::runtime_error &e) {
        onCriticalFileError(::shared::errorText(e));
    }
}

void TLauncherApplication::onDefaultChanged(const std::shared_ptr<TPackage> &Package,
                                            bool IsDefault)
{
    try {
        if (IsDefault)
            m_installationManager->setDefaultPackage(Package);
        else
            m_installationManager->clearDefaultMarkers();
    } catch (const std::runtime_error &e) {
        onCriticalFileError(::shared::errorText(e));
    }
}

} // namespace vorna::launcher
