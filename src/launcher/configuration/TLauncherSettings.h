#pragma once

#include <QString>
#include <QUrl>

namespace vorna::launcher {

// The launcher's fixed configuration, read once from "launchersettings.ini". Fields carry the
// names of their keys; values are never validated beyond Qt's conversions.
class TLauncherSettings final
{
public:
    explicit TLauncherSettings(const QString &Path);

    // [URLS]
    QUrl launcherConfiguration;
    QUrl cdnDiagnosticsTrace;
    bool appendNocacheToPackageUrls = false;
    // [DIRECTORIES]
    QString packages;
    // [FILES]
    QString packageFile;
    QString partialPackageFile;
    QString assetFile;
    // [TIMING], milliseconds
    qint64 waitNotificationTimeout = 0;
    qint64 downloadErrorTimeout = 0;
    qint64 clientStartTimeout = 0;
    // [OPTIONS] and [DEBUG]
    bool fastScan = true;
    bool skipVerification = true;
    bool chunkVerification = false;
    int maxCachedChunks = 100;
    int maxConcurrentDownloads = 10;
    // Milliseconds without data after which a transfer is given up (0: never).
    int transferTimeout = 60000;
};

} // namespace vorna::launcher
