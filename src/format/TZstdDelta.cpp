#include "TZstdDelta.h"

#include "TZstdChunkCodec.h"

// For ZSTD_getFrameHeader: the window a frame asks for, read before anything is decoded.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace shared {

namespace {

struct TCompressionContextDeleter
{
    void operator()(ZSTD_CCtx *Context) const { ZSTD_freeCCtx(Context); }
};

struct TDecompressionContextDeleter
{
    void operator()(ZSTD_DCtx *Context) const { ZSTD_freeDCtx(Context); }
};

void check(size_t Code, const char *What)
{
    if (ZSTD_isError(Code))
        throw TDeltaError(std::string(What) + ": " + ZSTD_getErrorName(Code));
}

// The smallest window that reaches from the end of the target back to the start of the base.
int windowLogFor(qint64 Size)
{
    return std::min(TZstdChunkCodec::windowLogFor(Size), TZstdDelta::MaximumWindowLog);
}

} // namespace

QByteArray TZstdDelta::create(const QByteArray &Base, const QByteArray &Target, int Level)
{
    if (Base.size() > MaximumBaseSize)
        throw TDeltaError("delta base too large");
    std::unique_ptr<ZSTD_CCtx, TCompressionContextDeleter> context(ZSTD_createCCtx());
    if (!context)
        throw TDeltaError("delta compression context could not be created");
    ZSTD_CCtx *cctx = context.get();
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel,
                                 std::clamp(Level, 1, ZSTD_maxCLevel())),
          "delta level");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1), "delta matching");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog,
                                 windowLogFor(qint64(Base.size()) + qint64(Target.size()))),
          "delta window");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1), "delta content size");
    check(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1), "delta checksum");
    if (!Base.isEmpty())
        check(ZSTD_CCtx_refPrefix(cctx, Base.constData(), size_t(Base.size())), "delta base");

    QByteArray delta(int(ZSTD_compressBound(size_t(Target.size()))), Qt::Uninitialized);
    const size_t written = ZSTD_compress2(cctx, delta.data(), size_t(delta.size()),
                                          Target.constData(), size_t(Target.size()));
    check(written, "delta compression");
    delta.resize(int(written));
    return delta;
}

QByteArray TZstdDelta::apply(const QByteArray &Base, const QByteArray &Delta, qint64 ExpectedSize)
{
    if (ExpectedSize < 0 || ExpectedSize > std::numeric_limits<int>::max() - 1)
        throw TDeltaError("delta result size out of range");
    std::unique_ptr<ZSTD_DCtx, TDecompressionContextDeleter> context(ZSTD_createDCtx());
    if (!context)
        throw TDeltaError("delta decompression context could not be created");
    ZSTD_DCtx *dctx = context.get();
    // One-shot decoding does not look at ZSTD_d_windowLogMax, which only bounds the streaming
    // decoder's buffers: the frame's window is checked here, and the delta must be that one frame.
    check(ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, MaximumWindowLog), "delta window");
    ZSTD_frameHeader header{};
    const size_t headerResult =
        ZSTD_getFrameHeader(&header, Delta.constData(), size_t(Delta.size()));
    check(headerResult, "delta frame header");
    if (headerResult != 0 || header.frameType != ZSTD_frame)
        throw TDeltaError("delta frame header incomplete");
    if (header.windowSize > (1ULL << MaximumWindowLog))
        throw TDeltaError("delta window too large");
    if (ZSTD_findFrameCompressedSize(Delta.constData(), size_t(Delta.size())) !=
        size_t(Delta.size()))
        throw TDeltaError("delta is not exactly one frame");
    if (!Base.isEmpty())
        check(ZSTD_DCtx_refPrefix(dctx, Base.constData(), size_t(Base.size())), "delta base");

    // One-shot decoding writes straight into this buffer and needs no window of its own; one
    // byte of room beyond the expected size shows a frame that says more than the caller expects,
    // whatever its header claims.
    QByteArray result(int(ExpectedSize) + 1, Qt::Uninitialized);
    const size_t written = ZSTD_decompressDCtx(dctx, result.data(), size_t(result.size()),
                                               Delta.constData(), size_t(Delta.size()));
    check(written, "delta decompression");
    if (written != size_t(ExpectedSize))
        throw TDeltaError("delta result does not have the expected size");
    result.resize(int(ExpectedSize));
    return result;
}

} // namespace shared
