#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QtGlobal>

#include <vector>

namespace vorna::launcher {

// A way to build a chunk from content an older version already put on the player's disk: a zstd
// delta (shared::TZstdDelta) against a base made of older chunks, found by their hashes and
// concatenated in the given order. Read from the optional "deltas" key of a chunk object;
// launchers that do not know the key download the chunk itself.
struct TChunkDelta
{
    QUrl url;
    quint64 packedSize = 0;
    // SHA-256 of the delta as stored.
    QByteArray packedHash;
    // The pack file that holds the delta too, at packOffset; empty when the document names none.
    QUrl packUrl;
    quint64 packOffset = 0;
    // SHA-256 and size of the whole base, the concatenation of the chunks below.
    QByteArray baseHash;
    quint64 baseSize = 0;
    // Unpacked hashes of the older chunks that make up the base, in order.
    std::vector<QByteArray> baseChunkHashes;
};

// One stretch of a delta's base on disk.
struct TBasePiece
{
    QString path;
    qint64 offset = 0;
    quint64 size = 0;
};

// A delta chosen for a missing chunk of a file, with the older chunks of its base where they
// stay until the download is done: in the staging directory, where each is copied once out of
// the old file (which the update is about to rewrite), or at a place of the file itself that the
// update keeps.
struct TPlannedDelta
{
    // Index into the file's chunk list.
    qint32 chunkIndex = -1;
    TChunkDelta delta;
    // The base is these pieces, concatenated.
    std::vector<TBasePiece> basePieces;
    // Places of the file that hold pieces of the base: the plan is good only while the update
    // keeps every one of them.
    std::vector<qint32> keptChunkIndices;
};

} // namespace vorna::launcher
