#pragma once

#include <QByteArray>

namespace shared {

// The zstd payload of the blob container (libzstd): one frame per chunk. Used by the container's
// encoder and decoder only; TZstdDelta is the other place that talks to libzstd.
//
// Frames are written with their content size and a window no larger than the content. Decoding is
// strict: the frame must declare exactly the size the container declares, fill the whole input
// and ask for no larger window than that size needs, so that a forged frame can neither make us
// allocate more than the chunk nor smuggle bytes past the container's sizes.
class TZstdChunkCodec final
{
public:
    static constexpr int MinimumLevel = 1;
    static constexpr int MaximumLevel = 19;

    // One frame holding Data (not empty). Level is a zstd level from MinimumLevel to
    // MaximumLevel. Throws std::invalid_argument for another level, std::runtime_error when
    // libzstd fails.
    static QByteArray compress(const QByteArray &Data, int Level);

    // Decodes the frame of FrameSize bytes at Frame into Output, which then holds UnpackedSize
    // bytes. False for anything that is not exactly one well-formed frame of that content size.
    // Throws nothing but std::bad_alloc.
    static bool decompress(const uchar *Frame, qint64 FrameSize, qint64 UnpackedSize,
                           QByteArray &Output);

    // The smallest window log (zstd's smallest is 10) whose window holds Size bytes.
    static int windowLogFor(qint64 Size);
};

} // namespace shared
