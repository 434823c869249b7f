#include "TLauncherFilesystemHelper.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <mutex>

// The built-in resources live in this static library; register them once before first use.
static void initialiseBuiltInResources()
{
    static std::once_flag once;
    std::call_once(once, [] { Q_INIT_RESOURCE(resources); });
}

namespace vorna::launcher {

TLauncherFilesystemHelper::TLauncherFilesystemHelper()
    : TLauncherFilesystemHelper(QCoreApplication::applicationDirPath())
{
}

TLauncherFilesystemHelper::TLauncherFilesystemHelper(const QString &ApplicationDirectory)
    : m_applicationDirectory(ApplicationDirectory)
{
    initialiseBuiltInResources();
    m_settings = std::make_shared<const TLauncherSettings>(settingsFilePath());
}

QString TLauncherFilesystemHelper::settingsFilePath() const
{
    const QString besideExecutable =
        joinPath({m_applicationDirectory, QStringLiteral("launchersettings.ini")});
    if (fileExists(besideExecutable))
        return besideExecutable;
    return QStringLiteral(":/settings/") + QStringLiteral("launchersettings.ini");
}

QDir TLauncherFilesystemHelper::packagesDirectory() const
{
    return ensureDirectory(filePathInDirectory(QDir(m_applicationDirectory), m_settings->packages));
}

void TLauncherFilesystemHelper::writeFileCreatingDirectory(const QString &Path,
                                                           const QByteArray &Data) const
{
    ensureDirectory(QFileInfo(Path).absolutePath());
    writeFile(Path, Data);
}

} // namespace vorna::launcher
