#include "app/LauncherLog.h"
#include "app/LauncherVersion.h"
#include "app/TLauncherApplication.h"
#include "shared/FirstInstanceTester.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

#include <memory>

int main(int argc, char *argv[])
{
    using namespace vorna::launcher;
    auto application = std::make_unique<TLauncherApplication>(argc, argv);
    const QString instanceKey = QStringLiteral("1b7a377a-e61e-4016-a479-7054bc72a4f8");
    auto tester = std::make_unique<shared::FirstInstanceTester>(instanceKey);
    // After a self-update the old launcher starts this one and only then ends, so it may still
    // hold the single-instance segment for a moment: the restart would otherwise take it for a
    // running launcher and end silently, leaving the player with nothing.
    QElapsedTimer restartWait;
    restartWait.start();
    while (!tester->isFirstInstance() && application->isSelfUpdateSkipped() &&
           restartWait.elapsed() < 10000) {
        tester.reset();
        QThread::msleep(100);
        tester = std::make_unique<shared::FirstInstanceTester>(instanceKey);
    }
    if (!tester->isFirstInstance()) {
        qInfo() << "Version: " << launcherVersion() << "already running"
                << " Thread: " << QThread::currentThreadId();
        tester.reset();
        application.reset();
        return 0;
    }

    setupLogging();
    qInfo() << "Version: " << launcherVersion() << " Thread: " << QThread::currentThreadId();
    qInfo() << "load configuration"
            << " Thread: " << QThread::currentThreadId();
    application->startLoading();

    const int exitCode = application->exec();
    tester.reset();
    application.reset();
    return exitCode;
}
