// The package configuration reader: the package and asset documents come from the CDN and from
// the installation directory's markers, and every file name and chunk index in them is untrusted.
//
// Input: the package document, optionally followed by the separator line "\n--assets--\n" and the
// asset document.

#include "FuzzSupport.h"

#include "packages/TPackageConfigurationReader.h"
#include "shared/TFileSystemHelper.h"

#include <QDir>
#include <QUrl>

using namespace vorna::launcher;

namespace {

const QByteArray AssetSeparator("\n--assets--\n");

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    QByteArray packageJson;
    QByteArray assetJson;
    fuzz::split(fuzz::bytes(Data, Size), AssetSeparator, packageJson, assetJson);

    static const QUrl packageBase(QStringLiteral("https://cdn.example.invalid/client/1/"));
    static const QUrl assetBase(QStringLiteral("https://assets.example.invalid/client/1/"));
    const TPackageConfigurationReader reader(packageJson, assetJson, packageBase, assetBase);

    fuzz::check(reader.packageJson() == packageJson && reader.assetJson() == assetJson,
                "raw documents not kept unchanged");
    fuzz::check(reader.versionString().startsWith(QLatin1Char('P')), "version string malformed");
    if (!reader.isValid())
        fuzz::check(reader.files().empty() && reader.chunks().empty() &&
                        reader.packageVersion().isEmpty() && reader.assetVersion().isEmpty(),
                    "invalid reader carries values");

    const auto chunkCount = reader.chunks().size();
    const TFileInPackage *previous = nullptr;
    static const shared::TFileSystemHelper helper;
    static const QDir installation(QStringLiteral("/srv/corvane/packages/client"));
    static const QString base = QDir::cleanPath(installation.absolutePath());
    for (const TFileInPackage &file : reader.files()) {
        for (const int index : file.chunkIndices)
            fuzz::check(index >= 0 && std::size_t(index) < chunkCount,
                        "chunk index outside the chunk list", QString::number(index));
        if (previous != nullptr)
            fuzz::check(!(file.localFile < previous->localFile), "files not sorted",
                        file.localFile);
        previous = &file;
        fuzz::checkConfined(helper.filePathInDirectory(installation, file.localFile), base,
                            file.localFile);
    }
    fuzz::checkConfined(helper.filePathInDirectory(installation, reader.executable()), base,
                        reader.executable());

    // Readers are copied to worker threads; a copy must carry the same content.
    const TPackageConfigurationReader copy = reader;
    fuzz::check(copy.files().size() == reader.files().size() &&
                    copy.versionString() == reader.versionString(),
                "copy differs");
    return 0;
}
