#pragma once

#include <QByteArray>

#include <stdexcept>

namespace shared {

// A delta could not be made or applied: a broken or forged frame, a base that does not fit, or a
// result larger than the caller allows.
class TDeltaError final : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Deltas between two versions of a chunk: zstd's patch-from mode (libzstd), with the old content
// as a referenced prefix and long-distance matching. The one place that talks to libzstd.
//
// A delta is a plain zstd frame. Applying one needs the same base, allocates at most the size
// the caller expects for the result (whatever the frame header claims) and refuses frames whose
// window lies beyond MaximumWindowLog.
class TZstdDelta final
{
public:
    // 128 MiB: a base of up to MaximumBaseSize plus a chunk of up to 16 MiB fits into it.
    static constexpr int MaximumWindowLog = 27;
    static constexpr qint64 MaximumBaseSize = qint64(96) << 20;

    // Compresses Target against Base. Level is a zstd level (1 to 19). Throws TDeltaError when the
    // base is larger than MaximumBaseSize or libzstd fails.
    static QByteArray create(const QByteArray &Base, const QByteArray &Target, int Level);

    // Rebuilds the content from Delta and Base. The result must be exactly ExpectedSize bytes; a
    // frame that would produce more, or anything else that does not decode, throws TDeltaError.
    static QByteArray apply(const QByteArray &Base, const QByteArray &Delta, qint64 ExpectedSize);
};

} // namespace shared
