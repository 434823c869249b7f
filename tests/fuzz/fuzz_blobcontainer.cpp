// The compressed blob container decoder: downloaded chunks and local ".lzma" files are untrusted
// bytes whose headers declare sizes that must never be believed for an allocation.
//
// Input: one selector byte, then the bytes to decode. The low three bits of the selector pick the
// maximum unpacked size given to the strict decode; bit 7 adds an LZMA round trip of the bytes,
// bit 6 chooses whether that stream carries an end marker, bit 5 adds a zstd round trip.

#include "FuzzSupport.h"

#include "format/BlobContainer.h"

#include <array>

namespace {

constexpr std::array<qint64, 8> Maximums = {0, 1, 16, 255, 4096, 65536, 1 << 20, 16 << 20};
// Round trips cost a compression each; small inputs find the same faults much faster.
constexpr int RoundTripLimit = 64 * 1024;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (Size < 1)
        return 0;
    const quint8 selector = Data[0];
    const QByteArray input = fuzz::bytes(Data + 1, Size - 1);
    const qint64 maximum = Maximums[selector & 7];
    const bool container = shared::isBlobContainer(input);

    bool strictDecoded = false;
    QByteArray strict;
    try {
        strict = shared::decodeBlobContainerStrict(input, maximum);
        strictDecoded = true;
    } catch (const shared::TDecompressionError &) {
        fuzz::check(container, "strict decode rejected bytes that are not a container");
    }
    if (strictDecoded) {
        if (container)
            fuzz::check(strict.size() <= maximum, "strict output exceeds the maximum",
                        QString::number(strict.size()));
        else
            fuzz::check(strict == input, "strict decode changed bytes that are not a container");
    }

    QByteArray lenient;
    try {
        lenient = shared::decodeBlobContainerLenient(input);
    } catch (...) {
        fuzz::fail("lenient decode threw");
    }
    if (!container)
        fuzz::check(lenient == input, "lenient decode changed bytes that are not a container");
    fuzz::check(lenient == input || lenient.size() <= shared::LenientDecodeLimit,
                "lenient output exceeds its limit");
    if (strictDecoded && container)
        fuzz::check(lenient == strict,
                    "lenient and strict decodes differ on a decodable container");

    // What the encoder writes, both decoders must give back unchanged.
    if (!input.isEmpty()) {
        const QByteArray stored = shared::encodeBlobContainer(input, shared::BlobCodecStored);
        fuzz::check(shared::decodeBlobContainerStrict(stored, input.size()) == input,
                    "stored container does not round-trip");
        if ((selector & 0x80) != 0 && input.size() <= RoundTripLimit) {
            const QByteArray packed = shared::encodeBlobContainer(input, shared::BlobCodecLzma, 0,
                                                                  (selector & 0x40) != 0);
            fuzz::check(shared::decodeBlobContainerStrict(packed, input.size()) == input,
                        "LZMA container does not round-trip");
            fuzz::check(shared::decodeBlobContainerLenient(packed) == input,
                        "LZMA container does not round-trip through the lenient decode");
        }
        if ((selector & 0x20) != 0 && input.size() <= RoundTripLimit) {
            const QByteArray packed = shared::encodeBlobContainer(input, shared::BlobCodecZstd, 1);
            fuzz::check(shared::decodeBlobContainerStrict(packed, input.size()) == input,
                        "zstd container does not round-trip");
            // The frame declares its size: a container that promises another fails.
            bool refused = false;
            try {
                shared::decodeBlobContainerStrict(packed, input.size() - 1);
            } catch (const shared::TDecompressionError &) {
                refused = true;
            }
            fuzz::check(refused, "zstd container decoded beyond its maximum");
        }
    }
    return 0;
}
