#pragma once

#include "RunOnPool.h"
#include "SourceFiles.h"
#include "TChunkStore.h"

#include <QByteArray>
#include <QString>

#include <exception>
#include <vector>

namespace vorna::publisher {

// A chunk as cut from a file: where it lies and the SHA-256 of its content.
struct TPiece
{
    qint64 offset = 0;
    qint64 length = 0;
    QByteArray hash;
};

// A source file cut into chunks; failure is set when it could not be read.
struct TChunkedFile
{
    TSourceFile source;
    qint64 size = 0;
    QByteArray hash;
    std::vector<TPiece> pieces;
    std::exception_ptr failure;
};

// A distinct chunk to compress and store, at its first place.
struct TChunkJob
{
    QByteArray hash;
    QString path;
    qint64 offset = 0;
    qint64 length = 0;
};

// A chunk as the store holds it; failure is set when it could not be stored.
struct TChunkOutcome
{
    QByteArray hash;
    qint64 unpackedSize = 0;
    TChunkStore::TStoredChunk stored;
    std::exception_ptr failure;
};

// Cuts a file with the launcher's own chunker and hashes it whole; never throws. Done counts the
// bytes cut.
TChunkedFile chunkSourceFile(const TSourceFile &Source, const TCounter &Done);

// Compresses and stores one chunk unless the store has it; never throws. Done follows the
// encoder.
TChunkOutcome produceChunk(const TChunkStore &Store, const TChunkStore::TCompression &Compression,
                           const TChunkJob &Job, const TCounter &Done);

} // namespace vorna::publisher
