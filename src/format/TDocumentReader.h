#pragma once

#include "Documents.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace shared {

// Reads the package, asset and metadata documents into their plain values. Reading is lenient
// where launchers in the field are lenient: a root that is not an object reads as an empty
// document, a key of the wrong type counts as absent, sizes come as numbers or as texts of
// decimal digits. What it refuses is bytes that are no JSON at all, and deltas no launcher could
// use (without an address, without a base, or past the few a chunk may offer).
class TDocumentReader final
{
public:
    // Each returns false, with Error set to the JSON parser's text, when Bytes are not JSON.
    static bool read(const QByteArray &Bytes, TPackageDocument &Document, QString *Error = nullptr);
    static bool read(const QByteArray &Bytes, TAssetDocument &Document, QString *Error = nullptr);
    static bool read(const QByteArray &Bytes, TMetadataDocument &Document,
                     QString *Error = nullptr);

    static TPackageDocument packageDocument(const QJsonObject &Object);
    static TAssetDocument assetDocument(const QJsonObject &Object);
    static TMetadataDocument metadataDocument(const QJsonObject &Object);
    static TMetadataPackage metadataPackage(const QJsonObject &Object);

    // A chunk object may offer this many deltas, each against this many older chunks at most.
    static constexpr int MaximumDeltasPerChunk = 16;
    static constexpr int MaximumBaseChunks = 64;
};

} // namespace shared
