#pragma once

#include "TChunkToDownload.h"
#include "format/BlobContainer.h"
#include "packages/TPackageDifference.h"

#include <QtGlobal>

#include <algorithm>
#include <limits>

// Sizes from the documents, bounded for the downloader's totals and reply limits.
namespace vorna::launcher::downloadsizes {

inline TFileSize saturatedSize(quint64 Size)
{
    return TFileSize(std::min<quint64>(Size, quint64(std::numeric_limits<TFileSize>::max())));
}

// Totals of document sizes stop at the largest size instead of overflowing.
inline void addSaturated(TFileSize &Total, quint64 Size)
{
    const TFileSize room = std::numeric_limits<TFileSize>::max() - Total;
    Total += std::min(saturatedSize(Size), room);
}

// The server stores exactly packedSize bytes for a chunk; a longer reply is cut off and costs a
// try. A document that gives no size leaves the pool's default bound in force.
inline qint64 maxReplySizeOf(quint64 PackedSize)
{
    return PackedSize <= quint64(std::numeric_limits<qint64>::max()) ? qint64(PackedSize) : 0;
}

// A chunk's packedsize only fed the progress totals once, and documents with a value slightly
// off installed: its reply may be as long as either size plus a container header, so that only a
// reply that cannot be the chunk costs a try. The hash check catches wrong content either way.
inline qint64 maxReplySizeOf(const TChunkToDownload &Chunk)
{
    const quint64 Largest = std::max(Chunk.packedSize, Chunk.unpackedSize);
    const auto Slack = quint64(::shared::BlobContainerMaxHeaderSize);
    if (Largest == 0 || Largest > quint64(std::numeric_limits<qint64>::max()) - Slack)
        return 0;
    return qint64(Largest + Slack);
}

} // namespace vorna::launcher::downloadsizes
