#include "TDocumentReader.h"

#include "DocumentKeys.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <limits>

namespace shared {

namespace {

namespace keys = documentkeys;

// JSON numbers are doubles; anything that is not a whole number inside the target range is not a
// usable value (and converting it would be undefined behaviour).
template <typename T> bool wholeNumberInRange(double Value, T &Result)
{
    if (!std::isfinite(Value) || std::trunc(Value) != Value)
        return false;
    // The upper bound is exclusive: 2^63 and 2^64 are exactly representable, their predecessors
    // as integers are not.
    const double lowest = static_cast<double>(std::numeric_limits<T>::lowest());
    const double beyondHighest = static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
    if (Value < lowest || Value >= beyondHighest)
        return false;
    Result = static_cast<T>(Value);
    return true;
}

int intFromJson(const QJsonValue &Value, int Default)
{
    int result = Default;
    if (Value.isDouble() && !wholeNumberInRange(Value.toDouble(), result))
        return Default;
    return result;
}

qint64 int64FromJson(const QJsonValue &Value)
{
    qint64 result = 0;
    if (Value.isDouble() && !wholeNumberInRange(Value.toDouble(), result))
        return 0;
    return result;
}

// Sizes come as JSON numbers or as strings of decimal digits; everything else reads as 0.
quint64 sizeFromJson(const QJsonValue &Value)
{
    if (Value.isString()) {
        const QString text = Value.toString().trimmed();
        const bool onlyDigits =
            !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
                return c >= QLatin1Char('0') && c <= QLatin1Char('9');
            });
        bool ok = false;
        const quint64 size = onlyDigits ? text.toULongLong(&ok, 10) : 0;
        return ok ? size : 0;
    }
    quint64 size = 0;
    if (Value.isDouble() && wholeNumberInRange(Value.toDouble(), size))
        return size;
    return 0;
}

// Hexadecimal digest text to raw bytes; characters that are not hexadecimal digits are skipped.
QByteArray hashFromJson(const QJsonValue &Value)
{
    return QByteArray::fromHex(Value.toString().toLocal8Bit());
}

// Without an offset the pack is not used: the object is fetched by its own address, as by
// launchers that know no packs.
std::optional<TPackPlace> packPlaceFromJson(const QJsonObject &Object)
{
    const QJsonValue offset = Object.value(keys::PackOffset);
    if (!offset.isDouble() && !offset.isString())
        return std::nullopt;
    return TPackPlace{Object.value(keys::Pack).toString(), sizeFromJson(offset)};
}

std::vector<TDeltaEntry> deltasFromJson(const QJsonValue &Value)
{
    std::vector<TDeltaEntry> deltas;
    for (const QJsonValue &entry : Value.toArray()) {
        if (deltas.size() >= size_t(TDocumentReader::MaximumDeltasPerChunk))
            break;
        const QJsonObject object = entry.toObject();
        TDeltaEntry delta;
        delta.url = object.value(keys::Url).toString();
        delta.packedSize = sizeFromJson(object.value(keys::PackedSize));
        delta.packedHash = hashFromJson(object.value(keys::PackedHash));
        delta.packPlace = packPlaceFromJson(object);
        delta.baseHash = hashFromJson(object.value(keys::BaseHash));
        delta.baseSize = sizeFromJson(object.value(keys::BaseSize));
        const QJsonArray base = object.value(keys::Base).toArray();
        if (delta.url.isEmpty() || base.isEmpty() ||
            base.size() > TDocumentReader::MaximumBaseChunks)
            continue;
        for (const QJsonValue &hash : base)
            delta.baseChunkHashes.push_back(hashFromJson(hash));
        deltas.push_back(std::move(delta));
    }
    return deltas;
}

TChunkEntry chunkFromJson(const QJsonObject &Object)
{
    TChunkEntry chunk;
    chunk.url = Object.value(keys::Url).toString();
    chunk.packedSize = sizeFromJson(Object.value(keys::PackedSize));
    chunk.packedHash = hashFromJson(Object.value(keys::PackedHash));
    chunk.unpackedSize = sizeFromJson(Object.value(keys::UnpackedSize));
    chunk.unpackedHash = hashFromJson(Object.value(keys::UnpackedHash));
    chunk.unpack = Object.value(keys::Unpack).toBool(true);
    chunk.packPlace = packPlaceFromJson(Object);
    chunk.deltas = deltasFromJson(Object.value(keys::Deltas));
    return chunk;
}

TPatchEntry patchFromJson(const QJsonObject &Object)
{
    TPatchEntry patch;
    patch.url = Object.value(keys::Url).toString();
    patch.fromVersion = int64FromJson(Object.value(keys::FromVersion));
    patch.toVersion = int64FromJson(Object.value(keys::ToVersion));
    patch.size = int64FromJson(Object.value(keys::Size));
    return patch;
}

TFileEntry fileFromJson(const QJsonObject &Object)
{
    TFileEntry file;
    file.localFile = Object.value(keys::LocalFile).toString();
    file.unpackedHash = hashFromJson(Object.value(keys::UnpackedHash));
    file.unpackedSize = sizeFromJson(Object.value(keys::UnpackedSize));
    file.executable = Object.value(keys::Executable).toBool(false);
    file.wholeFile = chunkFromJson(Object);

    const QJsonArray chunks = Object.value(keys::Chunks).toArray();
    file.chunkIndices.reserve(static_cast<size_t>(chunks.size()));
    for (const QJsonValue &index : chunks) {
        // A number that is no valid index must not turn into a valid one: it reads as -1.
        file.chunkIndices.push_back(index.isDouble() ? intFromJson(index, -1) : 0);
    }
    for (const QJsonValue &patch : Object.value(keys::Patches).toArray())
        file.patches.push_back(patchFromJson(patch.toObject()));
    return file;
}

void chunksAndFilesFromJson(const QJsonObject &Object, std::vector<TChunkEntry> &Chunks,
                            std::vector<TFileEntry> &Files)
{
    for (const QJsonValue &chunk : Object.value(keys::Chunks).toArray())
        Chunks.push_back(chunkFromJson(chunk.toObject()));
    for (const QJsonValue &file : Object.value(keys::Files).toArray())
        Files.push_back(fileFromJson(file.toObject()));
}

// A pin is used only whole: a hash of the right length and a whole, non-negative size.
TDocumentPin pinFromJson(const QJsonObject &Build, const QString &Prefix)
{
    const QByteArray hash =
        QByteArray::fromHex(Build.value(Prefix + keys::Sha256).toString().toLatin1());
    const QJsonValue size = Build.value(Prefix + keys::Size);
    TDocumentPin pin;
    if (hash.size() != 32 || !size.isDouble() || size.toDouble() < 0 ||
        size.toDouble() > 9007199254740991.0)
        return pin;
    pin.sha256 = hash;
    pin.size = static_cast<qint64>(size.toDouble());
    return pin;
}

TMetadataBuild buildFromJson(const QJsonObject &Object)
{
    TMetadataBuild build;
    build.os = Object.value(keys::Os).toString();
    build.architecture = Object.value(keys::Architecture).toString();
    build.url = Object.value(keys::Url).toString();
    if (Object.contains(keys::AssetsUrl))
        build.assetsUrl = Object.value(keys::AssetsUrl).toString();
    build.packagePin = pinFromJson(Object, keys::PackagePin);
    build.assetsPin = pinFromJson(Object, keys::AssetsPin);
    return build;
}

std::optional<QString> serviceFromJson(const QJsonObject &Object, QLatin1String Key)
{
    const QJsonValue value = Object.value(Key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// Parses Bytes and reads the document's values with FromJson; false, with the parser's text in
// Error, when Bytes are no JSON.
template <typename TDocument, typename TFromJson>
bool readDocument(const QByteArray &Bytes, TDocument &Document, QString *Error, TFromJson FromJson)
{
    QJsonParseError error;
    const QJsonDocument json = QJsonDocument::fromJson(Bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        if (Error)
            *Error = error.errorString();
        return false;
    }
    Document = FromJson(json.object());
    return true;
}

} // namespace

bool TDocumentReader::read(const QByteArray &Bytes, TPackageDocument &Document, QString *Error)
{
    return readDocument(Bytes, Document, Error, &TDocumentReader::packageDocument);
}

bool TDocumentReader::read(const QByteArray &Bytes, TAssetDocument &Document, QString *Error)
{
    return readDocument(Bytes, Document, Error, &TDocumentReader::assetDocument);
}

bool TDocumentReader::read(const QByteArray &Bytes, TMetadataDocument &Document, QString *Error)
{
    return readDocument(Bytes, Document, Error, &TDocumentReader::metadataDocument);
}

TPackageDocument TDocumentReader::packageDocument(const QJsonObject &Object)
{
    TPackageDocument document;
    document.version = Object.value(keys::Version).toString();
    document.executable = Object.value(keys::Executable).toString();
    document.generation = Object.value(keys::Generation).toString();
    document.variant = Object.value(keys::Variant).toString();
    chunksAndFilesFromJson(Object, document.chunks, document.files);
    for (const QJsonValue &parameter : Object.value(keys::Parameters).toArray())
        document.parameters.append(parameter.toString());
    return document;
}

TAssetDocument TDocumentReader::assetDocument(const QJsonObject &Object)
{
    TAssetDocument document;
    const QJsonValue version = Object.value(keys::Version);
    document.numericVersion = version.isDouble();
    document.version =
        version.isDouble() ? QString::number(intFromJson(version, 0)) : version.toString();
    chunksAndFilesFromJson(Object, document.chunks, document.files);
    return document;
}

TMetadataPackage TDocumentReader::metadataPackage(const QJsonObject &Object)
{
    TMetadataPackage package;
    package.name = Object.value(keys::Name).toString();
    package.directoryName = Object.value(keys::DirectoryName).toString();
    if (Object.contains(keys::LogoLinkTarget))
        package.logoLinkTarget = Object.value(keys::LogoLinkTarget).toString();
    package.installAutomatically = Object.value(keys::InstallAutomatically).toBool(false);
    for (const QJsonValue &build : Object.value(keys::Builds).toArray())
        package.builds.push_back(buildFromJson(build.toObject()));
    return package;
}

TMetadataDocument TDocumentReader::metadataDocument(const QJsonObject &Object)
{
    TMetadataDocument document;
    const QJsonValue launcher = Object.value(keys::Launcher);
    if (launcher.isObject())
        document.launcher = metadataPackage(launcher.toObject());
    for (const QJsonValue &package : Object.value(keys::Packages).toArray())
        document.packages.push_back(metadataPackage(package.toObject()));
    document.hardwareSurvey = serviceFromJson(Object, keys::HardwareSurvey);
    document.hints = serviceFromJson(Object, keys::Hints);
    document.funnel = serviceFromJson(Object, keys::Funnel);
    document.preventDefaultAutostart = Object.value(keys::PreventDefaultAutostart).toBool(false);
    document.showPackageNames = Object.value(keys::ShowPackageNames).toBool(false);
    return document;
}

} // namespace shared
