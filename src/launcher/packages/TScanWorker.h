#pragma once

#include "TDeltaBaseStaging.h"
#include "TDifferenceComputation.h"
#include "TPackageDifference.h"

#include <QDir>
#include <QMutex>
#include <QString>

#include <memory>
#include <vector>

namespace vorna::launcher {

class TLauncherFilesystemHelper;

// What lies at a local path, judged before anything is read or changed there.
enum class ELocalFileKind
{
    Missing,
    // A plain file whose real location is inside the installation directory.
    Regular,
    // A symbolic link, a directory or anything reached through a link leaving the directory:
    // never read, never written through.
    Unsafe,
};

// Left + Right, or the largest value where the sum would overflow.
quint64 saturatingAdd(quint64 Left, quint64 Right);

// One computation's state, shared by its workers. The mutex guards the byte counts.
struct TScanContext
{
    QMutex mutex;
    std::vector<TFileInPackage> entries;
    TFileSize bytesScanned = 0;
    TFileSize bytesTotal = 0;
    TScanProgressCallback progress;
    // Only filled for a fast scan.
    TFileInPackageVector localFiles;
    std::vector<TChunkInPackage> localChunks;
    std::vector<TChunkInPackage> remoteChunks;
    std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper;
    std::unique_ptr<TDeltaBaseStaging> staging;
    QDir installationDirectory;
    QString canonicalInstallationDirectory;

    // What lies at Path, judged by where it really is.
    ELocalFileKind classify(const QString &Path) const;
};

// Scans files of one computation, one at a time, on whichever thread calls it: finds what each
// file keeps, rearranges kept chunks in place and plans deltas against what it replaces. One
// worker is never used by two threads at once; several share the context.
class TScanWorker final
{
public:
    explicit TScanWorker(std::shared_ptr<TScanContext> Context);
    TScanWorker(TScanWorker &&) noexcept;
    ~TScanWorker();

    void scanFile(const TFileInPackage &Entry);

    // The files this worker scanned, in the order it scanned them, each with the chunks it needs.
    std::vector<TFileToDownload> &result();

private:
    class TImpl;
    std::unique_ptr<TImpl> m_impl;
};

} // namespace vorna::launcher
