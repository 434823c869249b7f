#pragma once

#include "TLauncherSettings.h"
#include "shared/TFileSystemHelper.h"

#include <memory>

namespace vorna::launcher {

// The launcher's file system helper: every operation of the shared helper plus the launcher
// settings, loaded once at construction, and the paths derived from them.
class TLauncherFilesystemHelper : public ::shared::TFileSystemHelper
{
public:
    // Reads "launchersettings.ini" from the application directory, or the built-in copy.
    TLauncherFilesystemHelper();
    // The same with another application directory (tests, tools).
    explicit TLauncherFilesystemHelper(const QString &ApplicationDirectory);

    std::shared_ptr<const TLauncherSettings> settings() const { return m_settings; }
    const QString &applicationDirectory() const { return m_applicationDirectory; }

    // The directory holding every package's installation directory; created when missing.
    QDir packagesDirectory() const;
    void writeFileCreatingDirectory(const QString &Path, const QByteArray &Data) const;

    // Where the settings are read from: the file next to the executable, or the built-in copy.
    QString settingsFilePath() const;

private:
    QString m_applicationDirectory;
    std::shared_ptr<const TLauncherSettings> m_settings;
};

} // namespace vorna::launcher
