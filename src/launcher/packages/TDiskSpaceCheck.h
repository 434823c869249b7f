#pragma once

#include <QDir>
#include <QString>
#include <QtGlobal>

namespace vorna::launcher {

class TLauncherFilesystemHelper;
class TPackageConfigurationReader;

// Whether what an installation will still write fits on the volume of its directory. Counts the
// files the configuration adds, the growth of files already there (both in whole allocation
// blocks), the staging of delta bases, and a margin for the markers and the file system's own
// bookkeeping. Files that the installation will delete or shrink are not counted in its favour:
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
    // What the scan may copy aside as delta bases before it rewrites files: for every file on
    // disk, each distinct base that a delta of its chunks names, at its largest. An estimate made
    // from the documents alone, before the scan knows which chunks are missing.
    static qint64 deltaBaseStagingBytes(const QDir &InstallationDirectory,
                                        const TPackageConfigurationReader &Remote,
                                        const TLauncherFilesystemHelper &FilesystemHelper);
    // Room kept free beyond the files: both markers and the asset document, a fixed reserve for
    // directories and the log, and half a percent of the content.
    static qint64 margin(qint64 BytesToWrite, const TPackageConfigurationReader &Remote);
};

} // namespace vorna::launcher
