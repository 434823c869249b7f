#pragma once

#include "TChunkDelta.h"

#include <QByteArray>
#include <QUrl>
#include <QtGlobal>

#include <vector>

namespace vorna::launcher {

// One downloadable unit of a package configuration. Sizes and hashes are what the document
// says: data to check against, never a promise to allocate by.
struct TChunkInPackage
{
    QUrl url;
    quint64 packedSize = 0;
    // SHA-256 of the stored bytes, 32 raw bytes when the document gave a proper digest.
    QByteArray packedHash;
    quint64 unpackedSize = 0;
    // SHA-256 of the unpacked content.
    QByteArray unpackedHash;
    // The stored bytes are a compressed blob container; false: they are the content itself.
    bool unpack = true;
    // The pack file that holds the stored bytes too, at packOffset (packedSize bytes long), so
    // that neighbouring chunks come in one Range request; empty when the document names none.
    QUrl packUrl;
    quint64 packOffset = 0;
    // Deltas that build this content from older chunks; the chunk itself stays the fallback.
    std::vector<TChunkDelta> deltas;
};

} // namespace vorna::launcher
