#pragma once

#include <QDir>
#include <QString>
#include <QtGlobal>

namespace vorna::launcher {

class TLauncherFilesystemHelper;
class TPackageConfigurationReader;

// Whether what an installation will still write fits on the volume of its directory. Counts the
// files the configuration adds, the growth of files already there (both in whole allocation
// blocks), and a margin for the markers and the file system's own bookkeeping. The staging of
// delta bases needs no room of its own here: the scan stages only what fits beside the files. Files that the installation will delete or shrink are not counted in its favour:
// the space they give back comes only after the download has begun.
//
// Usage: TDiskSpaceCheck::check() before anything of an installation is written; when fits() is
// false the installation does not start, and the player is told bytesNeeded, bytesFree and the
// volume. After a download that failed to save, the same check tells a full disk from other
// failures.
class TDiskSpaceCheck final
{
public:
    // The volume as the player knows it: "D:" on Windows, the mount point elsewhere.
    QString volume;
    qint64 bytesNeeded = 0;
    // -1 when the volume could not be asked; the check then lets the installation go ahead.
    qint64 bytesFree = -1;

    bool fits() const { return bytesFree < 0 || bytesNeeded <= bytesFree; }

    static TDiskSpaceCheck check(const QDir &InstallationDirectory,
                                 const TPackageConfigurationReader &Remote,
                                 const TLauncherFilesystemHelper &FilesystemHelper);

    // New files and the growth of existing ones, each rounded up to whole blocks.
    static qint64 bytesToWrite(const QDir &InstallationDirectory,
                               const TPackageConfigurationReader &Remote,
                               const TLauncherFilesystemHelper &FilesystemHelper, qint64 BlockSize);
    // Room kept free beyond the files: both markers and the asset document, a fixed reserve for
    // directories and the log, and half a percent of the content.
    static qint64 margin(qint64 BytesToWrite, const TPackageConfigurationReader &Remote);
};

} // namespace vorna::launcher
