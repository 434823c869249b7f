#pragma once

#include "TChunkStore.h"
#include "TDecodedChunkCache.h"
#include "format/Documents.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <exception>
#include <vector>

namespace vorna::publisher {

// Deltas from the chunks of earlier versions to the chunks of a new one, so that a player who
// has an earlier version downloads what changed instead of whole chunks.
//
// The publisher keeps a short history of the versions it published into an output directory
// ("<package document name>-history.json", e.g. package-history.json: every file with its chunk
// hashes and lengths, newest version first). For each chunk of the new version that an earlier
// version of the same file lacks, the base is the run of that file's older chunks between the
// nearest chunks both versions share; a zstd delta against their concatenation is stored next to
// the chunks when it is clearly smaller than the chunk itself. Deltas are named by the hashes of
// target and base ("<store>/<2 hex>/<target hash>.<base hash>.delta"), so a delta file, once
// written, never changes and later runs find it again.
class TDeltaWriter final
{
public:
    struct TPiece
    {
        QByteArray hash;
        qint64 length = 0;
    };

    // One earlier version: every file by its name with its chunks in file order.
    struct TVersion
    {
        QString version;
        QHash<QString, std::vector<TPiece>> files;
    };

    // One delta to make: the target chunk's content lies in Path at Offset.
    struct TJob
    {
        QByteArray targetHash;
        QString path;
        qint64 offset = 0;
        qint64 length = 0;
        std::vector<TPiece> base;
        QString baseVersion; // the version the base comes from
    };

    struct TOutcome
    {
        QByteArray targetHash;
        bool pays = false;    // false: no delta (base not in the store, or too little saving)
        bool written = false; // this run added the delta file
        QString path;
        qint64 packedSize = 0;
        QByteArray packedHash;
        QByteArray baseHash;
        qint64 baseSize = 0;
        std::vector<QByteArray> baseChunks;
        QString baseVersion;
        std::exception_ptr failure;
    };

    // A delta must be at most this share of the chunk's own stored size to be offered.
    static constexpr double MaximumShare = 0.75;
    // Bases are cut down to about this size around the chunk's position.
    static constexpr qint64 PreferredBaseSize = qint64(32) << 20;

    static QString historyPath(const QString &OutputDirectory, const QString &PackageFileName);

    // The recorded versions, newest first. Without a history the documents already in the output
    // directory stand for the last version. Unreadable records give no history: deltas are an
    // optimisation and never stop a run.
    static std::vector<TVersion> loadHistory(const QString &OutputDirectory,
                                             const QString &PackageFileName,
                                             const QString &AssetFileName);
    // Writes NewVersion in front of History, keeping Count versions. Throws TPublishError.
    static void saveHistory(const QString &Path, const TVersion &NewVersion,
                            const std::vector<TVersion> &History, int Count);

    // Jobs for one file of the new version against each of Versions (newest first).
    static void planFile(const QString &LocalFile, const QString &Path,
                         const std::vector<TPiece> &Pieces, const std::vector<qint64> &Offsets,
                         const std::vector<TVersion> &Versions, std::vector<TJob> &Jobs);

    // Makes (or finds) one delta; never throws. FullPackedSize is the chunk's own stored size;
    // the base chunks come unpacked from Chunks.
    static TOutcome produce(const TChunkStore &Store, TDecodedChunkCache &Chunks, const TJob &Job,
                            qint64 FullPackedSize, int Level);

    // What a chunk object offers of this delta; Url is the delta file's address, Place (when
    // given) the pack that holds the delta too.
    static ::shared::TDeltaEntry describe(const TOutcome &Outcome, const QString &Url,
                                          const std::optional<::shared::TPackPlace> &Place = {});
};

} // namespace vorna::publisher
