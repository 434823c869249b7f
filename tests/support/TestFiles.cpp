#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

} // namespace testsupport
