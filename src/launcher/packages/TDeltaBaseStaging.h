#pragma once

#include "TPackageDifference.h"

#include <QDir>
#include <QHash>
#include <QMutex>
#include <QString>

#include <vector>

namespace shared {
class TFileSystemHelper;
}

namespace vorna::launcher {

// Keeps the content that deltas are applied to. The scan finds, for a missing chunk with deltas,
// the older chunks a delta's base is made of. A base chunk that the update keeps in the file is
// read from there; any other is copied, before the scan rearranges or deletes the file, into the
// staging directory of the installation under the hex SHA-256 of its content. Each content is
// staged once, however many bases and files share it, and only within the disk space the update
// leaves over. Staged content survives an interrupted run: the next scan keeps what still hashes
// to its name. The downloader reads the bases back and removes the directory once it is done.
//
// Usage: one object per scan; keepEarlierStaging(), then plan() for each file from the scan's
// workers (thread-safe), then removeUnused() with the scan's result.
class TDeltaBaseStaging final
{
public:
    // One chunk of the local file as the scan found it.
    struct TLocalChunk
    {
        QByteArray hash;
        quint64 offset = 0;
        quint64 size = 0;
    };

    // Free space that staging leaves to the update besides the growth of its files.
    static constexpr qint64 FreeSpaceMargin = qint64(32) << 20;

    // Budget: the bytes staging may add to the disk; none when 0 or less.
    TDeltaBaseStaging(const QDir &InstallationDirectory, qint64 Budget);
    TDeltaBaseStaging(const TDeltaBaseStaging &) = delete;
    TDeltaBaseStaging &operator=(const TDeltaBaseStaging &) = delete;

    // The hidden directory of the staging files inside an installation directory.
    static QString stagingDirectory(const QDir &InstallationDirectory);
    // Whether a path names the staging directory or something in it. Package files must not:
    // their content would be taken for staging and deleted with it.
    static bool isInStagingDirectory(const QDir &InstallationDirectory, const QString &Path,
                                     Qt::CaseSensitivity Sensitivity);
    // Why the package file LocalFile, at Path, cannot be installed: it lies in the staging
    // directory. Empty when it does not.
    static QString stagingConflict(const QDir &InstallationDirectory, const QString &LocalFile,
                                   const QString &Path, Qt::CaseSensitivity Sensitivity);
    // Removes it as the file system helper removes any path: a link in its place or inside it
    // goes as a link. What stays is only warned about; the next scan tries again.
    static void removeStagingDirectory(const QDir &InstallationDirectory,
                                       const ::shared::TFileSystemHelper &FilesystemHelper);
    // The staging budget of an update: free space minus what its files grow by and the margin.
    static qint64 budgetFor(const QDir &InstallationDirectory, quint64 Growth);

    // Keeps the content an earlier run staged that still has the hash its name says; removes
    // everything else there.
    void keepEarlierStaging(const ::shared::TFileSystemHelper &FilesystemHelper);

    // Plans deltas for the chunks of Candidate that are to be downloaded: the first delta of each
    // whose base chunks are all at hand, kept in the file (KeptInFile[i]: the update keeps chunk
    // i of Candidate at its place), staged already, or in LocalChunks of the file at LocalPath.
    // Copies what is missing into staging; a base that cannot be staged, does not fit the budget
    // or does not hash as recorded is not planned.
    std::vector<TPlannedDelta> plan(const QString &LocalPath,
                                    const std::vector<TLocalChunk> &LocalChunks,
                                    const TFileToDownload &Candidate,
                                    const std::vector<bool> &KeptInFile);

    // Removes staged content that no planned delta of Files uses.
    void removeUnused(const std::vector<TFileToDownload> &Files,
                      const ::shared::TFileSystemHelper &FilesystemHelper);

    // The bytes the staged bases of a difference hold on disk until its download is done; a
    // check of the space an update needs counts them.
    static quint64 stagingBytes(const TPackageDifference &Difference);

    // The base of a planned delta, read piece by piece; throws std::runtime_error when it cannot
    // be read whole or no longer has the delta's base hash.
    static QByteArray readBase(const TPlannedDelta &Plan);

private:
    QString pathOf(const QByteArray &Hash) const;
    // Copies one local chunk into staging and checks its hash; false when that fails.
    bool stageChunk(QFile &Source, const TLocalChunk &Chunk);
    bool makeDirectory();

    QDir m_installationDirectory;
    QString m_directory;
    QMutex m_mutex;
    // Staged content by hash, with its size.
    QHash<QByteArray, quint64> m_staged;
    qint64 m_budget = 0;
};

} // namespace vorna::launcher
