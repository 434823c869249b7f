#include "TLauncherSettings.h"

#include <QSettings>
#include <QVariant>

namespace vorna::launcher {

namespace {

QVariant readValue(QSettings &Settings, const QString &Group, const QString &Key,
                   const QVariant &Missing = {})
{
    Settings.beginGroup(Group);
    const QVariant value = Settings.value(Key, Missing);
    Settings.endGroup();
    return value;
}

} // namespace

TLauncherSettings::TLauncherSettings(const QString &Path)
{
    QSettings settings(Path, QSettings::IniFormat);
    const QString urls = QStringLiteral("URLS");
    const QString directories = QStringLiteral("DIRECTORIES");
    const QString files = QStringLiteral("FILES");
    const QString timing = QStringLiteral("TIMING");

    launcherConfiguration =
        readValue(settings, urls, QStringLiteral("launcherConfiguration")).toUrl();
    cdnDiagnosticsTrace = readValue(settings, urls, QStringLiteral("cdnDiagnosticsTrace")).toUrl();
    appendNocacheToPackageUrls =
        readValue(settings, urls, QStringLiteral("appendNocacheToPackageUrls")).toBool();
    packages = readValue(settings, directories, QStringLiteral("packages")).toString();
    packageFile = readValue(settings, files, QStringLiteral("packageFile")).toString();
    partialPackageFile =
        readValue(settings, files, QStringLiteral("partialPackageFile")).toString();
    assetFile = readValue(settings, files, QStringLiteral("assetFile")).toString();
    waitNotificationTimeout =
        readValue(settings, timing, QStringLiteral("waitNotificationTimeout")).toInt();
    downloadErrorTimeout =
        readValue(settings, timing, QStringLiteral("downloadErrorTimeout")).toInt();
    clientStartTimeout = readValue(settings, timing, QStringLiteral("clientStartTimeout")).toInt();

    settings.beginGroup(QStringLiteral("OPTIONS"));
    maxCachedChunks = settings.value(QStringLiteral("maxCachedChunks"), 100).toInt();
    maxConcurrentDownloads = settings.value(QStringLiteral("maxConcurrentDownloads"), 10).toInt();
    skipVerification = settings.value(QStringLiteral("skipVerification"), true).toBool();
    fastScan = settings.value(QStringLiteral("fastScan"), true).toBool();
    transferTimeout = settings.value(QStringLiteral("transferTimeout"), 60000).toInt();
    settings.endGroup();

    chunkVerification =
        readValue(settings, QStringLiteral("DEBUG"), QStringLiteral("chunkVerification"), false)
            .toBool();
}

} // namespace vorna::launcher
