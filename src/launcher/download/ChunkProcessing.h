#pragma once

#include "TChunkToDownload.h"
#include "TPendingChunkCache.h"
#include "format/TError.h"
#include "packages/EInstallationMode.h"
#include "packages/TPackageDifference.h"

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

namespace vorna::launcher {

class TLauncherFilesystemHelper;

// The three stages a downloaded chunk goes through on the global thread pool: decompression,
// the SHA-256 check, and saving into every file that needs the content. Each stage takes its
// inputs by value and reports its outcome as a value; no exception leaves a stage.

// The stages, in the order a chunk goes through them; a delta is applied instead of being
// decompressed and checked.
enum class EChunkStage
{
    Decompress,
    Verify,
    ApplyDelta,
    Save,
};

// The outcome of one stage: the bytes for the next stage, or the reason it failed. After a whole
// way through the stages (processDownloadedObject), stage names the one that failed.
struct TChunkStageResult
{
    bool succeeded = false;
    QByteArray data;
    ::shared::TError error;
    EChunkStage stage = EChunkStage::Save;
};

// What the save stage needs besides the chunk: shared, read-only or internally locked.
struct TChunkSaveContext
{
    std::shared_ptr<const TLauncherFilesystemHelper> filesystemHelper;
    std::shared_ptr<TPendingChunkCache> pendingChunks;
    // The installation directory: no write may leave it, also not through a symbolic link.
    QString targetDirectory;
    // In self-update mode files in use are moved aside instead of deleted.
    EInstallationMode installationMode = EInstallationMode::Normal;
    // Debug aid: checks what is already on disk before each write and logs to "<file>.log".
    bool chunkVerification = false;
    // Called from the worker after each place written, with the URL of the chunk record written
    // there and its size; the downloader forwards it queued to the main thread.
    std::function<void(const QUrl &Url, qint64 WrittenBytes)> writeProgress;
};

// One entry per chunk URL with every file that needs its content, ordered so that chunks near
// the start of some file come first. Counts every place of every content as one use in Cache.
// Target paths are confined to TargetDirectory.
std::vector<TChunkToDownload> buildChunksToDownload(const std::vector<TFileToDownload> &Files,
                                                    const QDir &TargetDirectory,
                                                    const TLauncherFilesystemHelper &Helper,
                                                    TPendingChunkCache &Cache);

// Unpacks a blob container, never allocating more than the chunk's declared unpacked size.
TChunkStageResult decompressDownloadedData(TChunkToDownload Chunk, QByteArray Data);
// Builds the chunk's content from a downloaded delta and its staged base: the delta must have its
// packed hash, the base its base hash and the result the chunk's unpacked hash. Never allocates
// more than the chunk's unpacked size for the result.
TChunkStageResult applyDownloadedDelta(TChunkToDownload Chunk, QByteArray Data);
// Passes the data on when its SHA-256 is the chunk's unpacked hash.
TChunkStageResult verifyDownloadedData(TChunkToDownload Chunk, QByteArray Data);
// Writes verified content into every file of the chunk, in file order, caching it for places
// that cannot be written yet.
TChunkStageResult saveDownloadedData(TChunkSaveContext Context, TChunkToDownload Chunk,
                                     QByteArray Data);

// The whole way of one downloaded object in one task, without a return to the main thread in
// between: a chunk is decompressed (when its stored bytes are a container), checked against its
// hash and saved; a delta (IsDelta) is applied to its staged base, which checks the result, and
// the result is saved. On failure the result's stage says which step failed.
TChunkStageResult processDownloadedObject(TChunkSaveContext Context, TChunkToDownload Chunk,
                                          QByteArray Data, bool IsDelta);

// Same as saveDownloadedData but throwing on failure (the stage's body).
void saveChunkIntoFiles(const TChunkSaveContext &Context, const TChunkToDownload &Chunk,
                        const QByteArray &Data);

// The absolute path of a file named by a document, confined to Directory. A name that denotes
// the directory itself (empty, ".", "sub/..") is refused with std::runtime_error: writing or
// removing it would wipe the whole installation.
// Whether the deepest existing directory of Path, with every symbolic link resolved, lies in
// Directory: a path inside the directory by name can still lead elsewhere through a linked
// directory, and must then be neither written nor removed.
bool staysInsideOnDisk(const QString &Directory, const QString &Path);

QString confinedFilePath(const TLauncherFilesystemHelper &Helper, const QDir &Directory,
                         const QString &LocalFile);

// Removes whatever is at Path so that a file can be written there from scratch. In self-update
// mode a file that cannot be deleted (the running launcher's own) is renamed to "<Path>.old",
// replacing an older one. Throws std::runtime_error when the path cannot be freed.
void removeForRewrite(const TLauncherFilesystemHelper &Helper, const QString &Path,
                      EInstallationMode InstallationMode);

} // namespace vorna::launcher
