#pragma once

#include <QLatin1String>

// The key names of the package and asset documents, written by the publisher and read by the
// launcher. Both sides name a key only through these constants, so that a key cannot be spelled
// one way by the writer and another by the reader. Changing a text here changes the published
// format: launchers in the field read the texts as they are.
namespace shared::documentkeys {

template <int N> constexpr QLatin1String key(const char (&Text)[N])
{
    return QLatin1String(Text, N - 1);
}

// The document: a package document carries all of these, an asset document the version (a
// number there), the chunks and the files.
constexpr QLatin1String Version = key("version");
constexpr QLatin1String Executable = key("executable");
constexpr QLatin1String Generation = key("generation");
constexpr QLatin1String Variant = key("variant");
constexpr QLatin1String Parameters = key("parameters");
constexpr QLatin1String Chunks = key("chunks");
constexpr QLatin1String Files = key("files");

// A chunk, a file's whole-file description, and a delta offered for a chunk.
constexpr QLatin1String Url = key("url");
constexpr QLatin1String PackedSize = key("packedsize");
constexpr QLatin1String PackedHash = key("packedhash");
constexpr QLatin1String UnpackedSize = key("unpackedsize");
constexpr QLatin1String UnpackedHash = key("unpackedhash");
constexpr QLatin1String Unpack = key("unpack");
constexpr QLatin1String Pack = key("pack");
constexpr QLatin1String PackOffset = key("packoffset");
constexpr QLatin1String Deltas = key("deltas");
constexpr QLatin1String BaseHash = key("basehash");
constexpr QLatin1String BaseSize = key("basesize");
constexpr QLatin1String Base = key("base");

// A file: its name, its flag, its chunk indices (Chunks) and its patches.
constexpr QLatin1String LocalFile = key("localfile");
constexpr QLatin1String Patches = key("patches");
constexpr QLatin1String FromVersion = key("fromversion");
constexpr QLatin1String ToVersion = key("toversion");
constexpr QLatin1String Size = key("size");

} // namespace shared::documentkeys
