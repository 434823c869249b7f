#include "TDifferenceComputation.h"

#include "TDeltaBaseStaging.h"
#include "TScanWorker.h"
#include "configuration/TLauncherFilesystemHelper.h"
#include "format/ParallelWork.h"
#include "format/TErrorException.h"
#include "format/TTextError.h"
#include "shared/LogCategories.h"

#include <QDebug>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <stdexcept>

namespace vorna::launcher {

namespace {

// A launcher that ended during a rearrangement leaves its staging file behind; nothing else
// names or removes it.
void removeStaleScanFiles(const QDir &InstallationDirectory,
                          const TLauncherFilesystemHelper &FilesystemHelper)
{
    const QFileInfoList staleFiles = QDir(InstallationDirectory.absolutePath())
                                         .entryInfoList({QStringLiteral(".scan-*.tmp")},
                                                        QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &stale : staleFiles) {
        try {
            FilesystemHelper.removePath(stale.absoluteFilePath());
        } catch (const std::runtime_error &error) {
            qCWarning(lcPackages).noquote() << ::shared::errorText(error);
        }
    }
}

// A path as the installation's file system compares it.
QString pathKey(const QString &Path, bool CaseInsensitive)
{
    return CaseInsensitive ? Path.toCaseFolded() : Path;
}

// Queues the remote document's files for the scan, largest first, and counts the bytes to read
// and the growth the files need. Two entries naming the same file (literally, once confined to
// the directory, or by letter case where the file system ignores it) would be rearranged by two
// workers at once; the first one in the document's order is kept. Returns the keys of the
// queued paths.
QSet<QString> queueCurrentFiles(TScanContext &Context, const TFileInPackageVector &Files,
                                bool CaseInsensitive, quint64 &Growth)
{
    QSet<QString> queuedPaths;
    for (const TFileInPackage &file : Files) {
        const QString filePath = Context.filesystemHelper->filePathInDirectory(
            Context.installationDirectory, file.localFile);
        // The launcher's own staging place is no place for a package file: it is emptied after
        // every update with deltas. Refused before any file is touched.
        const QString conflict = TDeltaBaseStaging::stagingConflict(
            Context.installationDirectory, file.localFile, filePath,
            CaseInsensitive ? Qt::CaseInsensitive : Qt::CaseSensitive);
        if (!conflict.isEmpty())
            throw ::shared::TErrorException(::shared::EErrorCode::InvalidPackage, {}, conflict);
        const QString path = pathKey(filePath, CaseInsensitive);
        if (queuedPaths.contains(path)) {
            qCWarning(lcPackages).noquote()
                << QStringLiteral("computeRequiredChanges: duplicate file entry ") + file.localFile;
            continue;
        }
        queuedPaths.insert(path);
        const qint64 localSize =
            Context.classify(filePath) == ELocalFileKind::Regular ? QFileInfo(filePath).size() : 0;
        Context.bytesTotal += localSize;
        if (file.unpackedSize > quint64(localSize))
            Growth = saturatingAdd(Growth, file.unpackedSize - quint64(localSize));
        Context.entries.push_back(file);
    }
    // Largest first, so that the longest scans start at once and the workers end together.
    std::stable_sort(Context.entries.begin(), Context.entries.end(),
                     [](const TFileInPackage &Left, const TFileInPackage &Right) {
                         return Left.unpackedSize > Right.unpackedSize;
                     });
    return queuedPaths;
}

// The local document's entries that no current entry keeps. An obsolete entry is compared by the
// file it names, not by its text: "./b" or, on a file system that ignores case, "B" is the file
// that the entry "b" keeps. Neither that file nor a directory holding a current file may be
// deleted; a file where a current file needs its directory goes, or the directory could never be
// made.
TFileInPackageVector obsoleteFiles(const TScanContext &Context, const TFileInPackageVector &Local,
                                   const QSet<QString> &QueuedPaths, bool CaseInsensitive)
{
    TFileInPackageVector obsolete;
    QStringList currentPaths = QueuedPaths.values();
    std::sort(currentPaths.begin(), currentPaths.end());
    for (const TFileInPackage &file : Local) {
        const QString filePath = Context.filesystemHelper->filePathInDirectory(
            Context.installationDirectory, file.localFile);
        const QString path = pathKey(filePath, CaseInsensitive);
        const auto next =
            std::lower_bound(currentPaths.cbegin(), currentPaths.cend(), path + QLatin1Char('/'));
        const QFileInfo onDisk(filePath);
        const bool fileInTheWay = !onDisk.isDir() && (onDisk.exists() || onDisk.isSymLink());
        if (QueuedPaths.contains(path) ||
            (next != currentPaths.cend() && next->startsWith(path + QLatin1Char('/')) &&
             !fileInTheWay))
            continue;
        obsolete.push_back(file);
    }
    return obsolete;
}

[[noreturn]] void failScan(const QString &Reason)
{
    qCWarning(lcPackages).noquote()
        << QStringLiteral("computeRequiredChanges: worker failed: ") + Reason;
    throw ::shared::TErrorException(::shared::EErrorCode::ScanFailed, {}, Reason);
}

// Scans the queued files on the worker pool; the files that need chunks, in no particular order.
std::vector<TFileToDownload> scanQueuedFiles(const std::shared_ptr<TScanContext> &Context)
{
    std::vector<TScanWorker> workers;
    for (int worker = 0; worker < ::shared::parallelWorkerCount(Context->entries.size()); ++worker)
        workers.emplace_back(Context);
    try {
        ::shared::forEachInParallel(Context->entries.size(), [&](std::size_t Entry, int Worker) {
            workers[size_t(Worker)].scanFile(Context->entries[Entry]);
            return true;
        });
    } catch (const std::exception &error) {
        failScan(::shared::errorText(error));
    } catch (...) {
        failScan(QStringLiteral("unknown error"));
    }
    std::vector<TFileToDownload> needed;
    for (TScanWorker &worker : workers) {
        for (TFileToDownload &file : worker.result()) {
            if (!file.chunkIndicesToDownload.empty())
                needed.push_back(std::move(file));
        }
    }
    return needed;
}

} // namespace

TPackageDifference
computeRequiredChanges(const QDir &InstallationDirectory,
                       const std::shared_ptr<TLauncherFilesystemHelper> &FilesystemHelper,
                       TPackageConfigurationReader Remote, TPackageConfigurationReader Local,
                       bool FastScan, TScanProgressCallback Progress)
{
    const bool caseInsensitive = FilesystemHelper->fileNameCaseSensitivity(
                                     InstallationDirectory.absolutePath()) == Qt::CaseInsensitive;
    removeStaleScanFiles(InstallationDirectory, *FilesystemHelper);

    auto context = std::make_shared<TScanContext>();
    context->progress = std::move(Progress);
    context->remoteChunks = Remote.chunks();
    context->filesystemHelper = FilesystemHelper;
    context->installationDirectory = InstallationDirectory;
    context->canonicalInstallationDirectory =
        QFileInfo(InstallationDirectory.absolutePath()).canonicalFilePath();
    if (FastScan) {
        context->localFiles = Local.files();
        context->localChunks = Local.chunks();
    }
    quint64 growth = 0;
    const QSet<QString> queuedPaths =
        queueCurrentFiles(*context, Remote.files(), caseInsensitive, growth);
    // Staging gets the free space that the files do not need to grow; bases staged by a run that
    // did not finish are kept when they still have their content.
    context->staging = std::make_unique<TDeltaBaseStaging>(
        InstallationDirectory, TDeltaBaseStaging::budgetFor(InstallationDirectory, growth));
    context->staging->keepEarlierStaging(*FilesystemHelper);

    TPackageDifference difference;
    difference.filesToDelete = obsoleteFiles(*context, Local.files(), queuedPaths, caseInsensitive);
    difference.filesToDownload = scanQueuedFiles(context);
    context->staging->removeUnused(difference.filesToDownload, *FilesystemHelper);
    return difference;
}

} // namespace vorna::launcher
