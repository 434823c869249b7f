#pragma once

#include "format/BlobContainer.h"

#include <QByteArray>
#include <QDir>
#include <QString>

namespace vorna::publisher {

// A directory of chunk files named by the SHA-256 of their unpacked content
// ("<store>/<first two hex digits>/<64 hex digits>"). Several packages and versions share one
// store: a chunk file, once written, is never rewritten or deleted, so a content delivery network
// that mirrors the store never serves a changed or missing chunk to a document it already has.
class TChunkStore final
{
public:
    // What a document says about a stored chunk.
    struct TStoredChunk
    {
        qint64 packedSize = 0;
        QByteArray packedHash;
        bool unpack = true;
        bool written = false;    // false: the store already had it
        bool compressed = false; // written compressed (only known for written chunks)
    };

    // How new chunks are compressed: a container codec (BlobCodecZstd or BlobCodecLzma) and its
    // level (zstd 1 to 19, LZMA preset 0 to 9).
    struct TCompression
    {
        int codec = ::shared::BlobCodecZstd;
        int level = 0;
    };

    // Compression must save at least this share of the bytes, else the chunk is stored as it is:
    // decoding incompressible LZMA data is slow, so storing it makes installs much faster.
    static constexpr double MinimumSaving = 0.03;

    explicit TChunkStore(const QString &Directory);

    // Reads the piece of a source file that was cut as a chunk with this hash. Throws
    // TPublishError when it cannot be read or no longer holds the bytes that were hashed: work
    // done long after the cut must still publish what the documents describe.
    static QByteArray readSourcePiece(const QString &Path, qint64 Offset, qint64 Length,
                                      const QByteArray &Hash);

    const QString &directory() const { return m_directory; }
    QString chunkPath(const QByteArray &UnpackedHash) const;
    bool contains(const QByteArray &UnpackedHash) const;
    // The file of the delta that builds the chunk TargetHash from the base BaseHash, next to the
    // chunk: "<chunk path>.<base hash>.delta".
    QString deltaPath(const QByteArray &TargetHash, const QByteArray &BaseHash) const;

    // Puts Bytes at Path inside the store as every file of the store arrives: complete or not at
    // all, never replacing a file that is there. Returns false when another run put the file
    // there first. Throws TPublishError, naming the file as What ("chunk", "delta"), when it
    // cannot be written.
    bool putInPlace(const QString &Path, const QByteArray &Bytes, const QString &What) const;

    // Describes the stored chunk with this hash. Throws TPublishError when the file cannot be read
    // or is not what a chunk of UnpackedSize bytes is stored as.
    TStoredChunk describe(const QByteArray &UnpackedHash, qint64 UnpackedSize) const;

    // Stores Content unless the store has it already; safe to call from several threads. The file
    // appears complete or not at all. Throws TPublishError when it cannot be written. Progress
    // follows the compression (bytes of Content consumed).
    TStoredChunk store(const QByteArray &UnpackedHash, const QByteArray &Content,
                       const TCompression &Compression,
                       const ::shared::TBlobEncodeProgress &Progress = {}) const;

    // The bytes a chunk is stored as: empty for empty content, a container of the compression's
    // codec when that saves at least MinimumSaving, else a stored container (codec 0).
    static QByteArray pack(const QByteArray &Content, const TCompression &Compression,
                           const ::shared::TBlobEncodeProgress &Progress = {});

private:
    static bool looksIncompressible(const QByteArray &Content, int Codec);

    QString m_directory;
};

} // namespace vorna::publisher
