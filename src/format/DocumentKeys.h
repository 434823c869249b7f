#pragma once

#include <QLatin1String>

// The key names of the package, asset and metadata documents, written by the publisher and read
// by the launcher. Both sides name a key only through these constants, so that a key cannot be
// spelled one way by the writer and another by the reader. Changing a text here changes the
// published format: launchers in the field read the texts as they are.
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

// The launcher metadata: the launcher's own package, the packages, the service addresses and the
// flags.
constexpr QLatin1String Launcher = key("launcher");
constexpr QLatin1String Packages = key("packages");
constexpr QLatin1String HardwareSurvey = key("hardwaresurvey");
constexpr QLatin1String Hints = key("hints");
constexpr QLatin1String Funnel = key("funnel");
constexpr QLatin1String PreventDefaultAutostart = key("preventdefaultautostart");
constexpr QLatin1String ShowPackageNames = key("showpackagenames");

// A package entry of the metadata and its builds. A build names its package document (Url) and
// asset document (AssetsUrl); a signed metadata pins each with the SHA-256 and size keys, the
// document's prefix followed by Sha256 or Size ("packagesha256", "assetssize").
constexpr QLatin1String Name = key("name");
constexpr QLatin1String DirectoryName = key("directoryname");
constexpr QLatin1String LogoLinkTarget = key("logolinktarget");
constexpr QLatin1String InstallAutomatically = key("installautomatically");
constexpr QLatin1String Builds = key("builds");
constexpr QLatin1String Os = key("os");
constexpr QLatin1String Architecture = key("architecture");
constexpr QLatin1String AssetsUrl = key("assetsurl");
constexpr QLatin1String PackagePin = key("package");
constexpr QLatin1String AssetsPin = key("assets");
constexpr QLatin1String Sha256 = key("sha256");

} // namespace shared::documentkeys
