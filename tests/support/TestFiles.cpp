#include "TestFiles.h"

#include "packages/TPackageBuild.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace testsupport {

QByteArray readAll(const QString &Path)
{
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &Path, const QByteArray &Data)
{
    QDir().mkpath(QFileInfo(Path).absolutePath());
    QFile file(Path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(Data) == Data.size();
}

bool writeLauncherSettings(const QString &ApplicationDirectory, const QByteArray &ExtraLines)
{
    return writeAll(QDir(ApplicationDirectory).filePath(QStringLiteral("launchersettings.ini")),
                    "[DIRECTORIES]\npackages=packages\n[FILES]\npackageFile=package.json\n"
                    "partialPackageFile=partial-package.json\nassetFile=assets.json\n" +
                        ExtraLines);
}

QString runningOsName()
{
    using namespace vorna::launcher;
    switch (runningOperatingSystem()) {
    case EOperatingSystem::Windows:
        return QStringLiteral("windows");
    case EOperatingSystem::MacOS:
        return QStringLiteral("macos");
    case EOperatingSystem::Linux:
    case EOperatingSystem::Other:
        break;
    }
    return QStringLiteral("linux");
}

QString runningArchitectureName()
{
    using namespace vorna::launcher;
    return runningArchitecture() == EArchitecture::I386 ? QStringLiteral("i386")
                                                        : QStringLiteral("x86_64");
}

bool makeLink(const QString &Target, const QString &Link)
{
#ifdef Q_OS_WIN
    // Symbolic links need a privilege; junctions do not, and are what players' machines have.
    if (!QFileInfo(Target).isDir())
        return false;
    QProcess Process;
    Process.start(QStringLiteral("cmd.exe"),
                  {QStringLiteral("/c"), QStringLiteral("mklink"), QStringLiteral("/J"),
                   QDir::toNativeSeparators(Link), QDir::toNativeSeparators(Target)});
    if (!Process.waitForFinished(30000) || Process.exitCode() != 0)
        return false;
    const QFileInfo Made(Link);
    return Made.isJunction() && Made.exists();
#else
    return QFile::link(Target, Link);
#endif
}

} // namespace testsupport
