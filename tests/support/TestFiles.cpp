#include "TestFiles.h"

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
