#include "TLauncherSettings.h"

#include <QSettings>
#include <QVariant>

#include <algorithm>

namespace vorna::launcher {

namespace {

const QString builtInSettingsPath = QStringLiteral(":/settings/launchersettings.ini");
// The download pool of an installation with no slot would start nothing and never finish.
constexpr int builtInMaxConcurrentDownloads = 10;

QVariant readValue(QSettings &Settings, const QString &Group, const QString &Key,
                   const QVariant &Missing = {})
{
    Settings.beginGroup(Group);
    const QVariant value = Settings.value(Key, Missing);
    Settings.endGroup();
    return value;
}

// Reads the file beside the executable and, where it lacks a value the launcher cannot work
// without, the built-in file. Every replacement is noted for the log.
class TSettingsReader final
{
public:
    TSettingsReader(const QString &Path, QStringList &Notes)
        : m_settings(Path, QSettings::IniFormat),
          m_builtIn(builtInSettingsPath, QSettings::IniFormat), m_notes(Notes)
    {
    }

    QVariant value(const QString &Group, const QString &Key, const QVariant &Missing = {})
    {
        return readValue(m_settings, Group, Key, Missing);
    }

    // An empty marker name would make a file path name its directory.
    QString name(const QString &Group, const QString &Key)
    {
        const QString read = value(Group, Key).toString();
        if (!read.isEmpty())
            return read;
        const QString builtIn = readValue(m_builtIn, Group, Key).toString();
        note(Group, Key, QStringLiteral("is missing or empty"), builtIn);
        return builtIn;
    }

    // A time-out of 0 or less would give up before any answer could arrive.
    qint64 timeout(const QString &Group, const QString &Key)
    {
        bool ok = false;
        const int read = value(Group, Key).toInt(&ok);
        if (ok && read > 0)
            return read;
        const int builtIn = readValue(m_builtIn, Group, Key).toInt();
        note(Group, Key, QStringLiteral("is missing or not a positive number"),
             QString::number(builtIn));
        return builtIn;
    }

    int positive(const QString &Group, const QString &Key, int BuiltIn)
    {
        const QVariant read = value(Group, Key);
        if (!read.isValid())
            return BuiltIn;
        bool ok = false;
        const int number = read.toInt(&ok);
        if (ok && number > 0)
            return number;
        note(Group, Key, QStringLiteral("is not a positive number"), QString::number(BuiltIn));
        return BuiltIn;
    }

private:
    void note(const QString &Group, const QString &Key, const QString &Problem,
              const QString &BuiltIn)
    {
        m_notes.append(QStringLiteral("launcher settings: %1/%2 %3 in %4; using the built-in "
                                      "value '%5'")
                           .arg(Group, Key, Problem, m_settings.fileName(), BuiltIn));
    }

    QSettings m_settings;
    QSettings m_builtIn;
    QStringList &m_notes;
};

} // namespace

TLauncherSettings::TLauncherSettings(const QString &Path)
{
    TSettingsReader settings(Path, fallbackNotes);
    const QString urls = QStringLiteral("URLS");
    const QString directories = QStringLiteral("DIRECTORIES");
    const QString files = QStringLiteral("FILES");
    const QString timing = QStringLiteral("TIMING");
    const QString options = QStringLiteral("OPTIONS");

    launcherConfiguration = settings.value(urls, QStringLiteral("launcherConfiguration")).toUrl();
    cdnDiagnosticsTrace = settings.value(urls, QStringLiteral("cdnDiagnosticsTrace")).toUrl();
    appendNocacheToPackageUrls =
        settings.value(urls, QStringLiteral("appendNocacheToPackageUrls")).toBool();
    packages = settings.value(directories, QStringLiteral("packages")).toString();
    packageFile = settings.name(files, QStringLiteral("packageFile"));
    partialPackageFile = settings.name(files, QStringLiteral("partialPackageFile"));
    assetFile = settings.name(files, QStringLiteral("assetFile"));
    waitNotificationTimeout =
        settings.value(timing, QStringLiteral("waitNotificationTimeout")).toInt();
    downloadErrorTimeout = settings.timeout(timing, QStringLiteral("downloadErrorTimeout"));
    clientStartTimeout = settings.timeout(timing, QStringLiteral("clientStartTimeout"));

    maxCachedChunks = settings.value(options, QStringLiteral("maxCachedChunks"), 100).toInt();
    maxConcurrentDownloads = settings.positive(options, QStringLiteral("maxConcurrentDownloads"),
                                               builtInMaxConcurrentDownloads);
    skipVerification = settings.value(options, QStringLiteral("skipVerification"), true).toBool();
    fastScan = settings.value(options, QStringLiteral("fastScan"), true).toBool();
    transferTimeout = settings.value(options, QStringLiteral("transferTimeout"), 60000).toInt();
    documentTimeout =
        settings.positive(options, QStringLiteral("documentTimeout"), builtInDocumentTimeout);
    maxDownloadRate =
        std::max(0, settings.value(options, QStringLiteral("maxDownloadRate"), 0).toInt());

    chunkVerification =
        settings.value(QStringLiteral("DEBUG"), QStringLiteral("chunkVerification"), false)
            .toBool();
}

} // namespace vorna::launcher
