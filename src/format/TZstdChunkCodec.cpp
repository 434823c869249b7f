#include "TZstdChunkCodec.h"

// For ZSTD_getFrameHeader: the window a frame asks for is only known from its header.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

namespace shared {

namespace {

using TCompressionContext = std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)>;
using TDecompressionContext = std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)>;

void check(size_t Code, const char *What)
{
    if (ZSTD_isError(Code))
        throw std::runtime_error(std::string(What) + ": " + ZSTD_getErrorName(Code));
}

} // namespace

int TZstdChunkCodec::windowLogFor(qint64 Size)
{
    int log = ZSTD_WINDOWLOG_MIN;
    while (log < ZSTD_WINDOWLOG_MAX_64 && (qint64(1) << log) < Size)
        ++log;
    return log;
}

QByteArray TZstdChunkCodec::compress(const QByteArray &Data, int Level)
{
    if (Level < MinimumLevel || Level > MaximumLevel)
        throw std::invalid_argument("unsupported zstd level");
    const TCompressionContext context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    if (!context)
        throw std::runtime_error("zstd compression context could not be created");
    ZSTD_CCtx *cctx = context.get();
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, Level), "zstd level");
    // The decoder refuses frames without their content size; the window follows from the known
    // size, so that it never exceeds the chunk.
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1), "zstd content size");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 0), "zstd checksum");

    QByteArray frame(int(ZSTD_compressBound(size_t(Data.size()))), Qt::Uninitialized);
    const size_t written = ZSTD_compress2(cctx, frame.data(), size_t(frame.size()),
                                          Data.constData(), size_t(Data.size()));
    check(written, "zstd compression");
    frame.resize(int(written));
    return frame;
}

bool TZstdChunkCodec::decompress(const uchar *Frame, qint64 FrameSize, qint64 UnpackedSize,
                                 QByteArray &Output)
{
    if (FrameSize <= 0 || UnpackedSize <= 0 || UnpackedSize > std::numeric_limits<int>::max())
        return false;
    ZSTD_frameHeader header{};
    if (ZSTD_getFrameHeader(&header, Frame, size_t(FrameSize)) != 0 ||
        header.frameType != ZSTD_frame)
        return false;
    // An unknown content size reads as ZSTD_CONTENTSIZE_UNKNOWN and fails here as well.
    if (header.frameContentSize != quint64(UnpackedSize))
        return false;
    const int windowLog = windowLogFor(UnpackedSize);
    if (header.windowSize > (quint64(1) << windowLog))
        return false;
    // Exactly one frame: no second frame, no skippable frame, no bytes after it.
    const size_t frameSize = ZSTD_findFrameCompressedSize(Frame, size_t(FrameSize));
    if (ZSTD_isError(frameSize) || frameSize != size_t(FrameSize))
        return false;

    const TDecompressionContext context(ZSTD_createDCtx(), &ZSTD_freeDCtx);
    if (!context)
        throw std::bad_alloc();
    if (ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, windowLog)))
        return false;
    // One-shot decoding writes straight into the output and needs no window buffer of its own.
    QByteArray output(int(UnpackedSize), Qt::Uninitialized);
    const size_t written = ZSTD_decompressDCtx(context.get(), output.data(), size_t(UnpackedSize),
                                               Frame, size_t(FrameSize));
    if (ZSTD_isError(written) || written != size_t(UnpackedSize))
        return false;
    Output = std::move(output);
    return true;
}

} // namespace shared
