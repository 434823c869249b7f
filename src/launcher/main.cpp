#include "LauncherVersion.h"
#include "app/LauncherLog.h"
#include "app/SingleInstance.h"
#include "app/TLauncherApplication.h"

#include <QDebug>
#include <QThread>

#include <memory>

int main(int argc, char *argv[])
{
    using namespace vorna::launcher;
    auto application = std::make_unique<TLauncherApplication>(argc, argv);
    auto tester = testFirstInstance(application->isRestartAfterSelfUpdate());
    if (!tester->isFirstInstance()) {
        qInfo() << "Version: " << launcherVersion() << "already running"
                << " Thread: " << QThread::currentThreadId();
        tester.reset();
        application.reset();
        return 0;
    }

    setupLogging();
    qInfo() << "Version: " << launcherVersion();
    qInfo() << "load configuration";
    application->startLoading();

    const int exitCode = application->run();
    tester.reset();
    application.reset();
    return exitCode;
}
