#include "TLauncherApplication.h"

#include "LauncherVersion.h"

#include <QDebug>
#include <QThread>

namespace vorna::launcher {

TLauncherApplication *TLauncherApplication::s_instance = nullptr;

TLauncherApplication::TLauncherApplication(int &Argc, char **Argv)
    : QApplication(Argc, Argv),
      m_filesystemHelper(std::make_shared<TLauncherFilesystemHelper>()),
      m_translationManager(std::make_shared<vorna::shared::TTranslationManager>()),
      m_firstLaunchOption({QStringLiteral("l"), QStringLiteral("first-launch")},
                          QStringLiteral("Automatically download default packages when starting up.")),
      m_skipSelfUpdateOption({QStringLiteral("s"), skipSelfUpdateOptionName()},
                             QStringLiteral("Do not perform self-update check on launch.")),
      m_showUiOption({QStringLiteral("u"), QStringLiteral("show-ui")},
                     QStringLiteral("Show list of available packages after intial checks.")),
      m_patchOption({QStringLiteral("p"), QStringLiteral("patch")},
                    QStringLiteral("Start update of <patchexecutable> without user interaction."),
                    QStringLiteral("patchexecutable")),
      m_launcherRunningMarker(QByteArrayLiteral("Corvane-3cee13af-1c7c-4007-a3cf-2636f25b1616"), true),
      m_funnelIdentifierKey(QStringLiteral("FunnelUuid"))
{
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

    const auto settings = m_filesystemHelper->settings();
    m_waitNotificationTimer.setSingleShot(true);
    m_waitNotificationTimer.setInterval(static_cast<int>(settings->waitNotificationTimeout));
    connect(&m_waitNotificationTimer, &QTimer::timeout, this,
            &TLauncherApplication::onWaitNotificationTimeout);
    m_clientStartPollTimer.setInterval(200);
    connect(&m_clientStartPollTimer, &QTimer::timeout, this,
            &TLauncherApplication::checkClientStarted);

    // Unknown options, a missing value and stray arguments are deliberately ignored.
    m_parser.parse(QCoreApplication::arguments());
}

TLauncherApplication::~TLauncherApplication()
{
    if (s_instance == this)
        s_instance = nullptr;
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
    m_waitNotificationTimer.start();
}

void TLauncherApplication::onWaitNotificationTimeout()
{
    qInfo() << "waiting for launcher metadata" << " Thread: " << QThread::currentThreadId();
}

void TLauncherApplication::checkClientStarted()
{
    if (::shared::TNamedFileMapping::canOpenForReading(
            QByteArrayLiteral("Corvane-52f3fb16-0d45-45d4-978a-149b5692b074"))) {
        m_clientStartPollTimer.stop();
        exit(0);
    }
}

} // namespace vorna::launcher
