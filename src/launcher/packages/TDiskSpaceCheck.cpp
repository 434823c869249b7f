#include "TDiskSpaceCheck.h"

#include "TPackageConfigurationReader.h"
#include "configuration/TLauncherFilesystemHelper.h"

#include <QFileInfo>
#include <QMap>
#include <QStorageInfo>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace vorna::launcher {

namespace {

constexpr qint64 DefaultBlockSize = 4096;
constexpr qint64 FixedReserve = 256 * 1024;
constexpr qint64 LargestCount = std::numeric_limits<qint64>::max() / 4;

qint64 bounded(quint64 Size)
{
    return qint64(std::min<quint64>(Size, quint64(LargestCount)));
}

qint64 addBounded(qint64 Total, qint64 Size)
{
    return std::min(LargestCount, Total + std::min(Size, LargestCount));
}

qint64 roundUpToBlocks(qint64 Size, qint64 BlockSize)
{
    return (Size + BlockSize - 1) / BlockSize * BlockSize;
}

// The size of the regular file at a document's path; 0 when there is none (or the name is one
// the installation would refuse anyway).
qint64 sizeOnDisk(const QDir &Directory, const QString &LocalFile,
                  const TLauncherFilesystemHelper &FilesystemHelper)
{
    try {
        const QFileInfo Info(FilesystemHelper.filePathInDirectory(Directory, LocalFile));
        return Info.isFile() && !Info.isSymLink() ? Info.size() : 0;
    } catch (const std::runtime_error &) {
        return 0;
    }
}

// The directory itself, or the nearest parent that exists: a first installation has none yet.
QString existingAncestor(const QDir &Directory)
{
    QString Path = Directory.absolutePath();
    while (!QFileInfo::exists(Path) && QFileInfo(Path).absolutePath() != Path)
        Path = QFileInfo(Path).absolutePath();
    return Path;
}

QString volumeName(const QStorageInfo &Storage)
{
    QString Root = QDir::toNativeSeparators(Storage.rootPath());
    if (Root.size() > 1 && (Root.endsWith(QLatin1Char('\\')) || Root.endsWith(QLatin1Char('/'))))
        Root.chop(1);
    return Root;
}

} // namespace

TDiskSpaceCheck TDiskSpaceCheck::check(const QDir &InstallationDirectory,
                                       const TPackageConfigurationReader &Remote,
                                       const TLauncherFilesystemHelper &FilesystemHelper)
{
    const QStorageInfo Storage(existingAncestor(InstallationDirectory));
    const qint64 BlockSize = Storage.isValid() && Storage.blockSize() > 0
                                 ? qint64(Storage.blockSize())
                                 : DefaultBlockSize;
    const qint64 Files = bytesToWrite(InstallationDirectory, Remote, FilesystemHelper, BlockSize);
    TDiskSpaceCheck Result;
    // Delta bases are not counted: the scan stages them only within the room the files leave
    // (TDeltaBaseStaging::budgetFor) and downloads whole chunks for the deltas whose bases do not
    // fit, so an update that fits without deltas is never refused for them.
    Result.bytesNeeded = addBounded(Files, margin(Files, Remote));
    if (Storage.isValid() && Storage.isReady()) {
        Result.volume = volumeName(Storage);
        Result.bytesFree = Storage.bytesAvailable();
    }
    return Result;
}

qint64 TDiskSpaceCheck::bytesToWrite(const QDir &InstallationDirectory,
                                     const TPackageConfigurationReader &Remote,
                                     const TLauncherFilesystemHelper &FilesystemHelper,
                                     qint64 BlockSize)
{
    qint64 Total = 0;
    for (const TFileInPackage &File : Remote.files()) {
        const qint64 Wanted = roundUpToBlocks(bounded(File.unpackedSize), BlockSize);
        const qint64 Present = roundUpToBlocks(
            sizeOnDisk(InstallationDirectory, File.localFile, FilesystemHelper), BlockSize);
        Total = addBounded(Total, std::max<qint64>(0, Wanted - Present));
    }
    return Total;
}

qint64 TDiskSpaceCheck::margin(qint64 BytesToWrite, const TPackageConfigurationReader &Remote)
{
    const qint64 Documents = 2 * qint64(Remote.packageJson().size()) + Remote.assetJson().size();
    return addBounded(FixedReserve + Documents, BytesToWrite / 200);
}

} // namespace vorna::launcher
