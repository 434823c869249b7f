#pragma once

#include "TPackageDifference.h"

#include <QDir>
#include <QString>

#include <vector>

namespace shared {
class TFileSystemHelper;
}

namespace vorna::launcher {

// Keeps the content that deltas are applied to. The scan finds, for a missing chunk with deltas,
// the older chunks of the same file that a delta's base is made of; before the scan rearranges or
// deletes the file, their content is copied, concatenated and checked against the delta's base
// hash, into a staging file of the installation. The downloader reads the base back from there
// and removes the staging files once it is done; a scan removes what an interrupted run left.
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

    // The hidden directory of the staging files inside an installation directory.
    static QString stagingDirectory(const QDir &InstallationDirectory);
    // Removes it as the file system helper removes any path: a link in its place or inside it
    // goes as a link. What stays is only warned about; the next scan tries again.
    static void removeStagingDirectory(const QDir &InstallationDirectory,
                                       const ::shared::TFileSystemHelper &FilesystemHelper);

    // Plans deltas for the chunks of Candidate that LocalChunks do not contain: the first delta of
    // each whose base chunks all lie in the local file. Their bases are staged from LocalPath;
    // a base that cannot be read or does not hash to the delta's base hash is not planned.
    static std::vector<TPlannedDelta> stage(const QDir &InstallationDirectory,
                                            const QString &LocalPath,
                                            const std::vector<TLocalChunk> &LocalChunks,
                                            const TFileToDownload &Candidate);

    // The staged base of a planned delta; throws std::runtime_error when it cannot be read whole
    // or no longer has the delta's base hash.
    static QByteArray readBase(const TPlannedDelta &Plan);
};

} // namespace vorna::launcher
