#include "TDocumentWriter.h"

#include "DocumentKeys.h"

#include <QJsonArray>

namespace shared {

namespace {

namespace keys = documentkeys;

QString hexText(const QByteArray &Hash)
{
    return QString::fromLatin1(Hash.toHex());
}

void insertPackPlace(QJsonObject &Object, const std::optional<TPackPlace> &Place)
{
    if (!Place)
        return;
    Object.insert(keys::Pack, Place->pack);
    Object.insert(keys::PackOffset, double(Place->offset));
}

// The chunk keys of a chunk object or of a file object's whole-file description. A file object
// gives the unpacked size and hash as the file's own.
void insertChunkKeys(QJsonObject &Object, const TChunkEntry &Chunk, bool WithUnpackedKeys)
{
    Object.insert(keys::Url, Chunk.url);
    Object.insert(keys::PackedSize, double(Chunk.packedSize));
    Object.insert(keys::PackedHash, hexText(Chunk.packedHash));
    if (WithUnpackedKeys) {
        Object.insert(keys::UnpackedSize, double(Chunk.unpackedSize));
        Object.insert(keys::UnpackedHash, hexText(Chunk.unpackedHash));
    }
    Object.insert(keys::Unpack, Chunk.unpack);
    insertPackPlace(Object, Chunk.packPlace);
    if (!Chunk.deltas.empty()) {
        QJsonArray deltas;
        for (const TDeltaEntry &delta : Chunk.deltas)
            deltas.append(TDocumentWriter::toJson(delta));
        Object.insert(keys::Deltas, deltas);
    }
}

QJsonObject fileToJson(const TFileEntry &File)
{
    QJsonObject object;
    if (!File.wholeFile.url.isEmpty())
        insertChunkKeys(object, File.wholeFile, false);
    object.insert(keys::LocalFile, File.localFile);
    object.insert(keys::UnpackedSize, double(File.unpackedSize));
    object.insert(keys::UnpackedHash, hexText(File.unpackedHash));
    object.insert(keys::Executable, File.executable);
    QJsonArray indices;
    for (const int index : File.chunkIndices)
        indices.append(index);
    object.insert(keys::Chunks, indices);
    if (!File.patches.empty()) {
        QJsonArray patches;
        for (const TPatchEntry &patch : File.patches)
            patches.append(QJsonObject{{keys::Url, patch.url},
                                       {keys::FromVersion, double(patch.fromVersion)},
                                       {keys::ToVersion, double(patch.toVersion)},
                                       {keys::Size, double(patch.size)}});
        object.insert(keys::Patches, patches);
    }
    return object;
}

void insertChunksAndFiles(QJsonObject &Object, const std::vector<TChunkEntry> &Chunks,
                          const std::vector<TFileEntry> &Files)
{
    QJsonArray chunks;
    for (const TChunkEntry &chunk : Chunks) {
        QJsonObject object;
        insertChunkKeys(object, chunk, true);
        chunks.append(object);
    }
    QJsonArray files;
    for (const TFileEntry &file : Files)
        files.append(fileToJson(file));
    Object.insert(keys::Chunks, chunks);
    Object.insert(keys::Files, files);
}

void insertPin(QJsonObject &Build, const QString &Prefix, const TDocumentPin &Pin)
{
    if (Pin.isEmpty())
        return;
    Build.insert(Prefix + keys::Sha256, hexText(Pin.sha256));
    Build.insert(Prefix + keys::Size, double(Pin.size));
}

QJsonObject buildToJson(const TMetadataBuild &Build)
{
    QJsonObject object;
    object.insert(keys::Os, Build.os);
    object.insert(keys::Architecture, Build.architecture);
    object.insert(keys::Url, Build.url);
    if (Build.assetsUrl)
        object.insert(keys::AssetsUrl, *Build.assetsUrl);
    insertPin(object, keys::PackagePin, Build.packagePin);
    insertPin(object, keys::AssetsPin, Build.assetsPin);
    return object;
}

void insertService(QJsonObject &Object, QLatin1String Key, const std::optional<QString> &Address)
{
    if (Address)
        Object.insert(Key, *Address);
}

} // namespace

QJsonObject TDocumentWriter::toJson(const TPackageDocument &Document)
{
    QJsonObject object;
    object.insert(keys::Version, Document.version);
    if (!Document.executable.isEmpty())
        object.insert(keys::Executable, Document.executable);
    if (!Document.generation.isEmpty())
        object.insert(keys::Generation, Document.generation);
    if (!Document.variant.isEmpty())
        object.insert(keys::Variant, Document.variant);
    object.insert(keys::Parameters, QJsonArray::fromStringList(Document.parameters));
    insertChunksAndFiles(object, Document.chunks, Document.files);
    return object;
}

QJsonObject TDocumentWriter::toJson(const TAssetDocument &Document)
{
    QJsonObject object;
    if (Document.numericVersion)
        object.insert(keys::Version, Document.version.toInt());
    else
        object.insert(keys::Version, Document.version);
    insertChunksAndFiles(object, Document.chunks, Document.files);
    return object;
}

QJsonObject TDocumentWriter::toJson(const TMetadataPackage &Package)
{
    QJsonObject object;
    object.insert(keys::Name, Package.name);
    object.insert(keys::DirectoryName, Package.directoryName);
    if (Package.logoLinkTarget)
        object.insert(keys::LogoLinkTarget, *Package.logoLinkTarget);
    object.insert(keys::InstallAutomatically, Package.installAutomatically);
    QJsonArray builds;
    for (const TMetadataBuild &build : Package.builds)
        builds.append(buildToJson(build));
    object.insert(keys::Builds, builds);
    return object;
}

QJsonObject TDocumentWriter::toJson(const TMetadataDocument &Document)
{
    QJsonObject object;
    if (Document.launcher)
        object.insert(keys::Launcher, toJson(*Document.launcher));
    QJsonArray packages;
    for (const TMetadataPackage &package : Document.packages)
        packages.append(toJson(package));
    object.insert(keys::Packages, packages);
    insertService(object, keys::HardwareSurvey, Document.hardwareSurvey);
    insertService(object, keys::Hints, Document.hints);
    insertService(object, keys::Funnel, Document.funnel);
    object.insert(keys::PreventDefaultAutostart, Document.preventDefaultAutostart);
    object.insert(keys::ShowPackageNames, Document.showPackageNames);
    return object;
}

QJsonObject TDocumentWriter::toJson(const TDeltaEntry &Delta)
{
    QJsonArray base;
    for (const QByteArray &hash : Delta.baseChunkHashes)
        base.append(hexText(hash));
    QJsonObject object{{keys::Url, Delta.url},
                       {keys::PackedSize, double(Delta.packedSize)},
                       {keys::PackedHash, hexText(Delta.packedHash)},
                       {keys::BaseHash, hexText(Delta.baseHash)},
                       {keys::BaseSize, double(Delta.baseSize)},
                       {keys::Base, base}};
    insertPackPlace(object, Delta.packPlace);
    return object;
}

} // namespace shared
