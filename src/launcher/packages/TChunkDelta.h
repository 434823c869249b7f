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
    // SHA-256 and size of the whole base, the concatenation of the chunks below.
    QByteArray baseHash;
    quint64 baseSize = 0;
    // Unpacked hashes of the older chunks that make up the base, in order.
    std::vector<QByteArray> baseChunkHashes;
};

// A delta chosen for a missing chunk of a file, with its base already copied out of the old file
// (which the update is about to rewrite) into a staging file.
struct TPlannedDelta
{
    // Index into the file's chunk list.
    qint32 chunkIndex = -1;
    TChunkDelta delta;
    // Where the staged base lies: delta.baseSize bytes at baseOffset.
    QString basePath;
    qint64 baseOffset = 0;
};

} // namespace vorna::launcher
