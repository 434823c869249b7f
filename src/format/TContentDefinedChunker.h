#pragma once

#include "TSha256.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace vorna::launcher {

// Cuts data into the same pieces as the chunk lists of the server, so that equal content gives
// equal chunk hashes wherever it lies in a file. A gear hash over the bytes after the minimum
// length picks the cut points; they depend only on the content. Used by the difference
// computation and by the publisher tool, which must agree byte for byte.
class TContentDefinedChunker final
{
public:
    struct TChunk
    {
        qint64 offset = 0;
        qint64 length = 0;
        QByteArray hash; // SHA-256 of the chunk's bytes when asked for, else empty
    };
    using TChunkConsumer = std::function<void(const TChunk &)>;

    static constexpr qint64 DefaultAverageLength = qint64(8) << 20;
    // Files are streamed in reads of up to ReadLength bytes, each cut and hashed while it is in
    // the processor's cache; no chunk is ever held whole.
    static constexpr qint64 ReadLength = qint64(1) << 20;

    // The average is rounded to a power of two 2^bits with 8 <= bits <= 28 (std::invalid_argument
    // otherwise); chunks are at least 2^(bits-1) and at most 2^(bits+1) bytes long, except the
    // last one of a file, and a cut needs the low bits-1 bits of the hash to be zero.
    explicit TContentDefinedChunker(qint64 AverageLength = DefaultAverageLength);

    qint64 minimumLength() const { return m_minimumLength; }
    qint64 maximumLength() const { return m_maximumLength; }
    std::uint32_t cutMask() const { return m_cutMask; }
    // Bytes held by the buffer when a file of FileSize bytes is streamed.
    qint64 bufferLengthFor(qint64 FileSize) const;

    // Length of the chunk starting at Data, followed by Available bytes. AtEnd says the data ends
    // there; when it does not, Available must be at least maximumLength().
    qint64 nextChunkLength(const char *Data, qint64 Available, bool AtEnd) const;

    std::vector<TChunk> chunkBuffer(const char *Data, qint64 Size, bool WithHashes) const;
    std::vector<TChunk> chunkBuffer(const QByteArray &Data, bool WithHashes) const
    {
        return chunkBuffer(Data.constData(), Data.size(), WithHashes);
    }

    // Streams a file and hands each chunk, in file order, to Consumer. Returns false when the
    // file cannot be opened or a read fails; the chunks delivered before that are right. Throws
    // std::bad_alloc when the buffer cannot be allocated. The buffer and the hasher are kept for
    // the next file, so one chunker serves one thread at a time.
    bool chunkFile(const QString &Path, bool WithHashes, const TChunkConsumer &Consumer);

    static const std::array<std::uint32_t, 256> &gearTable();

private:
    qint64 m_minimumLength = 0;
    qint64 m_maximumLength = 0;
    std::uint32_t m_cutMask = 0;
    // Reused from file to file: a fresh buffer for every file costs a page fault per 4 KiB,
    // which is a good part of the time of chunking data from the page cache.
    std::unique_ptr<char[]> m_buffer;
    qint64 m_bufferLength = 0;
    std::unique_ptr<::shared::TSha256> m_hasher;
};

} // namespace vorna::launcher
