#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

namespace vorna::launcher {

// The launcher's fixed configuration, read once from "launchersettings.ini". Fields carry the
// names of their keys. Values are taken as Qt's conversions give them, except where the launcher
// cannot work with what the file holds: a missing or non-positive metadata or client-start
// time-out and a missing marker file name take the built-in file's value, and a maximum of
// concurrent downloads that is not a positive number takes the built-in one. Each such
// replacement is noted in fallbackNotes. An empty packages directory puts the packages beside the
// executable, and a wait-notification time-out of 0 shows the splash at once.
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
    // Milliseconds a document, its signature, a hint image or the CDN trace may take in all,
    // however slowly data keeps arriving.
    static constexpr int builtInDocumentTimeout = 120000;
    int documentTimeout = builtInDocumentTimeout;
    // Cap of the download rate of all transfers together, in kilobytes (1000 bytes) per second;
    // 0 or less: no limit.
    int maxDownloadRate = 0;

    // One line per value that was replaced by its built-in value, for the log (which is set up
    // only after the settings have been read).
    QStringList fallbackNotes;
};

} // namespace vorna::launcher
