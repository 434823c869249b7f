#include "BlobContainer.h"

#include "TZstdChunkCodec.h"

#include <lzma.h>

#include <algorithm>
#include <limits>
#include <new>

namespace shared {

namespace {

constexpr quint8 ContainerMagic = 0x70;
constexpr quint8 HighestCodecId = 23;
constexpr int MaximumVarintLength = 10;
constexpr quint64 LzmaHeaderSize = 13;
// The 13 header bytes and the 5 bytes with which the range coder opens every LZMA stream.
constexpr quint64 MinimumLzmaPayloadSize = LzmaHeaderSize + 5;
constexpr quint32 MinimumLzmaDictionarySize = 4096;
constexpr quint32 LzmaDictionarySize = 8u << 20;
constexpr quint32 LargeLzmaDictionarySize = 64u << 20;
constexpr size_t EncodeProgressSlice = 1u << 20;
// A QByteArray cannot hold more than this (its allocation header shares the 31-bit size).
constexpr quint64 MaximumByteArraySize = (quint64(1) << 31) - 1024;

enum class EParseResult
{
    NotContainer,
    Malformed,
    Parsed
};

struct TContainerHeader
{
    int codec = 0;
    quint64 unpackedSize = 0;
    quint64 packedSize = 0;
    const uchar *payload = nullptr;
};

// Little-endian base-128. Ten bytes carry 64 bits; an eleventh byte, or a tenth byte with more
// than the top bit of the value, cannot be a 64-bit size and makes the header malformed.
bool readVarint(const uchar *&Position, const uchar *End, quint64 &Value)
{
    quint64 value = 0;
    for (int i = 0; i < MaximumVarintLength; ++i) {
        if (Position == End)
            return false;
        const quint8 byte = *Position++;
        if (i == MaximumVarintLength - 1 && byte > 1)
            return false;
        value |= quint64(byte & 0x7F) << (7 * i);
        if ((byte & 0x80) == 0) {
            Value = value;
            return true;
        }
    }
    return false;
}

EParseResult parseHeader(const QByteArray &Data, TContainerHeader &Header)
{
    const uchar *position = reinterpret_cast<const uchar *>(Data.constData());
    const uchar *end = position + Data.size();
    while (position != end && *position == 0)
        ++position;
    if (end - position < 2 || position[0] != ContainerMagic || position[1] > HighestCodecId)
        return EParseResult::NotContainer;
    Header.codec = position[1];
    position += 2;
    if (!readVarint(position, end, Header.unpackedSize) ||
        !readVarint(position, end, Header.packedSize))
        return EParseResult::Malformed;
    if (Header.packedSize > quint64(end - position))
        return EParseResult::Malformed;
    Header.payload = position;
    return EParseResult::Parsed;
}

quint32 readLittleEndian32(const uchar *Bytes)
{
    return quint32(Bytes[0]) | quint32(Bytes[1]) << 8 | quint32(Bytes[2]) << 16 |
           quint32(Bytes[3]) << 24;
}

class TLzmaStream final
{
public:
    TLzmaStream() = default;
    ~TLzmaStream() { lzma_end(&m_stream); }
    TLzmaStream(const TLzmaStream &) = delete;
    TLzmaStream &operator=(const TLzmaStream &) = delete;

    lzma_stream *operator->() { return &m_stream; }
    lzma_stream *get() { return &m_stream; }

private:
    lzma_stream m_stream = LZMA_STREAM_INIT;
};

// Decodes the raw LZMA1 stream behind the 13-byte header into exactly UnpackedSize bytes at
// most. Streams written with and without an end marker both decode: the output stops when the
// buffer is full, and an end marker before that ends the output early.
bool decodeLzmaPayload(const TContainerHeader &Header, QByteArray &Output)
{
    if (Header.packedSize < MinimumLzmaPayloadSize)
        return false;
    quint32 properties = Header.payload[0];
    if (properties >= 225)
        return false;
    lzma_options_lzma options{};
    options.lc = properties % 9;
    properties /= 9;
    options.lp = properties % 5;
    options.pb = properties / 5;
    // The decoder allocates the whole dictionary up front. It never looks further back than the
    // output it has produced, so a dictionary larger than the output only wastes memory, and a
    // forged header must not make us allocate gigabytes.
    const quint64 dictionary =
        std::min<quint64>(readLittleEndian32(Header.payload + 1), Header.unpackedSize);
    options.dict_size = std::max<quint32>(quint32(dictionary), MinimumLzmaDictionarySize);

    const lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    TLzmaStream stream;
    if (lzma_raw_decoder(stream.get(), filters) != LZMA_OK)
        return false;

    Output = QByteArray(int(Header.unpackedSize), Qt::Uninitialized);
    stream->next_in = Header.payload + LzmaHeaderSize;
    stream->avail_in = size_t(Header.packedSize - LzmaHeaderSize);
    stream->next_out = reinterpret_cast<uint8_t *>(Output.data());
    stream->avail_out = size_t(Header.unpackedSize);
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK && stream->avail_out > 0) {
        const size_t inputBefore = stream->avail_in;
        const size_t outputBefore = stream->avail_out;
        result = lzma_code(stream.get(), LZMA_RUN);
        if (result == LZMA_OK && stream->avail_in == inputBefore &&
            stream->avail_out == outputBefore)
            return false; // out of input before the output is complete
    }
    if (result != LZMA_OK && result != LZMA_STREAM_END)
        return false;
    Output.truncate(int(Header.unpackedSize - stream->avail_out));
    return true;
}

// Throws nothing but std::bad_alloc; false when the container does not decode.
bool decodeParsed(const TContainerHeader &Header, qint64 MaximumUnpackedSize, QByteArray &Output)
{
    if (Header.unpackedSize == 0 || Header.packedSize == 0)
        return false;
    if (MaximumUnpackedSize < 0 || Header.unpackedSize > quint64(MaximumUnpackedSize) ||
        Header.unpackedSize > MaximumByteArraySize)
        return false;
    switch (Header.codec) {
    case BlobCodecStored:
        if (Header.packedSize > Header.unpackedSize)
            return false;
        Output = QByteArray(reinterpret_cast<const char *>(Header.payload), int(Header.packedSize));
        return true;
    case BlobCodecLzma:
    case BlobCodecLzmaLargeDictionary:
        return decodeLzmaPayload(Header, Output);
    case BlobCodecZstd:
        return TZstdChunkCodec::decompress(Header.payload, qint64(Header.packedSize),
                                           qint64(Header.unpackedSize), Output);
    default:
        return false;
    }
}

QByteArray encodeLzmaPayload(const QByteArray &Data, int Codec, int Preset, bool WriteEndMarker,
                             const TBlobEncodeProgress &Progress)
{
    lzma_options_lzma options{};
    if (lzma_lzma_preset(&options, quint32(Preset)))
        throw std::invalid_argument("unsupported LZMA preset");
    quint32 dictionary = std::max<quint32>(options.dict_size, Codec == BlobCodecLzmaLargeDictionary
                                                                  ? LargeLzmaDictionarySize
                                                                  : LzmaDictionarySize);
    // Nothing is gained from a dictionary larger than the data, and the decoder has to allocate it.
    quint32 fitting = MinimumLzmaDictionarySize;
    while (fitting < dictionary && fitting < quint64(Data.size()))
        fitting *= 2;
    options.dict_size = std::min(dictionary, fitting);

    lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (!WriteEndMarker) {
#ifdef LZMA_FILTER_LZMA1EXT
        filters[0].id = LZMA_FILTER_LZMA1EXT;
        options.ext_flags = 0;
#else
        throw std::invalid_argument("LZMA streams without end marker need liblzma 5.4");
#endif
    }
    TLzmaStream stream;
    if (lzma_raw_encoder(stream.get(), filters) != LZMA_OK)
        throw std::runtime_error("LZMA encoder could not be initialised");

    QByteArray payload(int(LzmaHeaderSize), Qt::Uninitialized);
    uchar *header = reinterpret_cast<uchar *>(payload.data());
    header[0] = uchar((options.pb * 5 + options.lp) * 9 + options.lc);
    for (int i = 0; i < 4; ++i)
        header[1 + i] = uchar(options.dict_size >> (8 * i));
    for (int i = 0; i < 8; ++i)
        header[5 + i] = uchar(quint64(Data.size()) >> (8 * i));

    payload.resize(int(LzmaHeaderSize) + Data.size() + Data.size() / 16 + 4096);
    // Without a progress callback the encoder gets all input at once; with one it gets a slice
    // at a time, and reports after each slice.
    const size_t inputSize = size_t(Data.size());
    const size_t slice = Progress ? EncodeProgressSlice : inputSize;
    size_t given = 0;
    lzma_action action = LZMA_RUN;
    stream->next_in = reinterpret_cast<const uint8_t *>(Data.constData());
    stream->avail_in = 0;
    size_t written = LzmaHeaderSize;
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK) {
        if (stream->avail_in == 0 && action == LZMA_RUN) {
            if (given > 0 && Progress)
                Progress(qint64(given));
            if (given < inputSize) {
                stream->avail_in = std::min(slice, inputSize - given);
                given += stream->avail_in;
            }
            if (given == inputSize)
                action = LZMA_FINISH;
        }
        if (written == size_t(payload.size()))
            payload.resize(payload.size() + payload.size() / 2);
        stream->next_out = reinterpret_cast<uint8_t *>(payload.data()) + written;
        stream->avail_out = size_t(payload.size()) - written;
        result = lzma_code(stream.get(), action);
        written = size_t(payload.size()) - stream->avail_out;
    }
    if (result != LZMA_STREAM_END)
        throw std::runtime_error("LZMA encoder failed");
    payload.truncate(int(written));
    return payload;
}

} // namespace

bool isBlobContainer(const QByteArray &Data)
{
    TContainerHeader header;
    return parseHeader(Data, header) != EParseResult::NotContainer;
}

std::optional<int> blobContainerCodec(const QByteArray &Data)
{
    TContainerHeader header;
    if (parseHeader(Data, header) == EParseResult::NotContainer)
        return std::nullopt;
    return header.codec;
}

QByteArray decodeBlobContainerStrict(const QByteArray &Data, qint64 MaximumUnpackedSize)
{
    TContainerHeader header;
    const EParseResult parsed = parseHeader(Data, header);
    if (parsed == EParseResult::NotContainer)
        return Data;
    QByteArray output;
    bool decoded = false;
    try {
        decoded =
            parsed == EParseResult::Parsed && decodeParsed(header, MaximumUnpackedSize, output);
    } catch (const std::bad_alloc &) {
        // A chunk we cannot hold in memory cannot be decompressed; the caller treats it like a
        // damaged one instead of taking the process down.
        decoded = false;
    }
    if (!decoded)
        throw TDecompressionError();
    return output;
}

QByteArray decodeBlobContainerLenient(const QByteArray &Data)
{
    try {
        TContainerHeader header;
        QByteArray output;
        if (parseHeader(Data, header) == EParseResult::Parsed &&
            decodeParsed(header, LenientDecodeLimit, output))
            return output;
    } catch (...) {
        // Out of memory: the raw bytes are what this decode promises when it cannot decode.
    }
    return Data;
}

QByteArray encodeBlobVarint(std::uint64_t Value)
{
    QByteArray bytes;
    do {
        quint8 byte = Value & 0x7F;
        Value >>= 7;
        if (Value != 0)
            byte |= 0x80;
        bytes.append(char(byte));
    } while (Value != 0);
    return bytes;
}

QByteArray encodeBlobContainer(const QByteArray &Data, int Codec, int Preset, bool WriteEndMarker,
                               const TBlobEncodeProgress &Progress)
{
    const bool lzma = Codec == BlobCodecLzma || Codec == BlobCodecLzmaLargeDictionary;
    if (Codec != BlobCodecStored && Codec != BlobCodecZstd && !lzma)
        throw std::invalid_argument("unsupported container codec");
    if (Codec == BlobCodecZstd
            ? Preset < TZstdChunkCodec::MinimumLevel || Preset > TZstdChunkCodec::MaximumLevel
            : Preset < 0 || Preset > 9)
        throw std::invalid_argument("unsupported compression preset");
    // A container cannot describe zero bytes; empty bytes decode to themselves.
    if (Data.isEmpty())
        return {};
    QByteArray payload;
    if (lzma) {
        payload = encodeLzmaPayload(Data, Codec, Preset, WriteEndMarker, Progress);
    } else if (Codec == BlobCodecZstd) {
        payload = TZstdChunkCodec::compress(Data, Preset);
        if (Progress)
            Progress(qint64(Data.size()));
    } else {
        payload = Data;
    }
    QByteArray container;
    container.reserve(payload.size() + 22);
    container.append(char(ContainerMagic));
    container.append(char(Codec));
    container.append(encodeBlobVarint(quint64(Data.size())));
    container.append(encodeBlobVarint(quint64(payload.size())));
    container.append(payload);
    return container;
}

} // namespace shared
