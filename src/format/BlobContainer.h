#pragma once

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>

// The compressed blob container of chunks and ".lzma" files:
//   any number of 0x00 bytes, magic 0x70, codec id (0..23),
//   unpacked size (varint), packed size (varint), packed payload.
// Varints are little-endian base-128, at most 10 bytes, 64 bits.
// Codec 0 stores the data; codecs 5 and 10 hold an LZMA payload with the classic 13-byte
// stand-alone header (properties, dictionary size, 8 bytes not read) before a raw LZMA1 stream;
// codec 16 holds one zstd frame that declares the unpacked size (TZstdChunkCodec).

namespace shared {

// A container that could not be decoded.
class TDecompressionError : public std::runtime_error
{
public:
    TDecompressionError() : std::runtime_error("Invalid input data could not be decompressed") {}
};

// Largest output the lenient decode produces. Local ".lzma" files are small documents; a header
// claiming more than this is not trusted for an allocation and the raw bytes come back instead.
constexpr qint64 LenientDecodeLimit = qint64(512) * 1024 * 1024;

// Most bytes a container puts before its content, leading zero bytes aside: magic, codec id,
// two varints of at most 10 bytes each, and the LZMA header of a compressed payload.
constexpr qint64 BlobContainerMaxHeaderSize = 2 + 2 * 10 + 13;

// Codec ids of the container this code writes and reads.
constexpr int BlobCodecStored = 0;
constexpr int BlobCodecLzma = 5;
constexpr int BlobCodecLzmaLargeDictionary = 10;
// Not decoded by launchers built before it was added: the launcher's own package stays LZMA, so
// that such a launcher can still update itself.
constexpr int BlobCodecZstd = 16;

// Whether the bytes, after leading zero bytes, start with the container magic and a codec id.
bool isBlobContainer(const QByteArray &Data);

// The codec id of a container; nothing for bytes that are not a container.
std::optional<int> blobContainerCodec(const QByteArray &Data);

// Decodes a downloaded chunk. Bytes that are not a container come back unchanged; a container
// that does not decode, or that claims more than MaximumUnpackedSize bytes, throws
// TDecompressionError. No more than MaximumUnpackedSize bytes are ever allocated for the output.
QByteArray decodeBlobContainerStrict(const QByteArray &Data, qint64 MaximumUnpackedSize);

// Decodes a local file. Never throws: bytes that are not a container, do not decode or claim
// more than LenientDecodeLimit bytes come back unchanged.
QByteArray decodeBlobContainerLenient(const QByteArray &Data);

// Wraps Data into a container: codec 0 stores it, codecs 5 and 10 compress it with LZMA at the
// given preset (0..9), codec 10 with a larger dictionary, codec 16 with zstd at the given level
// (1..19). The LZMA header carries the unpacked size; WriteEndMarker chooses whether the LZMA
// stream also ends with an end-of-stream marker. Empty data gives empty bytes, which both decodes
// pass unchanged. Throws std::invalid_argument for another codec or preset, std::runtime_error
// when the encoder fails. Progress, when given, is called on the encoding thread with the number
// of input bytes consumed so far, about once per MiB for LZMA and once at the end for zstd, so
// that a caller can show a long compression moving.
using TBlobEncodeProgress = std::function<void(qint64)>;
QByteArray encodeBlobContainer(const QByteArray &Data, int Codec, int Preset = 6,
                               bool WriteEndMarker = true,
                               const TBlobEncodeProgress &Progress = {});

// The container's variable-length integer, for writers of the format.
QByteArray encodeBlobVarint(std::uint64_t Value);

} // namespace shared
