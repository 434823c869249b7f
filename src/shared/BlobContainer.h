#pragma once

#include <QByteArray>

#include <stdexcept>

namespace shared {

// A container that could not be decoded.
class TDecompressionError : public std::runtime_error
{
public:
    TDecompressionError() : std::runtime_error("Invalid input data could not be decompressed") {}
};

// Whether the bytes, after leading zero bytes, start with the container magic and a codec id.
bool isBlobContainer(const QByteArray &Data);

// Decodes a downloaded chunk. Bytes that are not a container come back unchanged; a container
// that does not decode, or that claims more than MaximumUnpackedSize bytes, throws
// TDecompressionError.
QByteArray decodeBlobContainerStrict(const QByteArray &Data, qint64 MaximumUnpackedSize);

// Decodes a local file. Never throws: bytes that are not a container or do not decode come back
// unchanged.
QByteArray decodeBlobContainerLenient(const QByteArray &Data);

} // namespace shared
