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

namespace vorna::launcher {

// The application object: owns every long-lived object of the launcher and wires their signals
// to its handlers.
class TLauncherApplication final : public QApplication
{
public:
    TLauncherApplication(int &Argc, char **Argv);
    ~TLauncherApplication() override;
    Q_DISABLE_COPY(TLauncherApplication)

    static TLauncherApplication *instance() { return s_instance; }

    const std::shared_ptr<TLauncherFilesystemHelper> &filesystemHelper() const
    {
        return m_filesystemHelper;
    }
    const QString &funnelIdentifierKey() const { return m_funnelIdentifierKey; }

    bool isFirstLaunch() const { return m_parser.isSet(m_firstLaunchOption); }
    bool isSelfUpdateSkipped() const { return m_parser.isSet(m_skipSelfUpdateOption); }
    bool isShowUiRequested() const { return m_parser.isSet(m_showUiOption); }
    QString patchValue() const { return m_parser.value(m_patchOption); }

    // Asks for the launcher metadata and starts the timers of the start-up flow.
    void startLoading();

private:
    void loadTranslation();
    void onWaitNotificationTimeout();
    void checkClientStarted();

    static TLauncherApplication *s_instance;

    std::shared_ptr<TLauncherFilesystemHelper> m_filesystemHelper;
    std::shared_ptr<vorna::shared::TTranslationManager> m_translationManager;
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
};

} // namespace vorna::launcher
