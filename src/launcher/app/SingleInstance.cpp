#include "SingleInstance.h"

#include "LauncherVersion.h"

#include <QElapsedTimer>
#include <QThread>

namespace vorna::launcher {

std::unique_ptr<::shared::FirstInstanceTester> testFirstInstance(bool WaitForPreviousLauncher)
{
    const QString key = singleInstanceKey();
    auto tester = std::make_unique<::shared::FirstInstanceTester>(key);
    QElapsedTimer wait;
    wait.start();
    while (!tester->isFirstInstance() && WaitForPreviousLauncher && wait.elapsed() < 10000) {
        tester.reset();
        QThread::msleep(100);
        tester = std::make_unique<::shared::FirstInstanceTester>(key);
    }
    return tester;
}

} // namespace vorna::launcher
