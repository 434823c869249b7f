#include "TPackageConfigurationReader.h"

#include "TPackageBuild.h"
#include "format/DocumentKeys.h"
#include "shared/LogCategories.h"
#include "shared/TFileSystemHelper.h"

#include <QDebug>
#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QOperatingSystemVersion>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <limits>

namespace vorna::launcher {

namespace {

namespace keys = ::shared::documentkeys;

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

// A document may offer a few deltas per chunk, each against a base of a few older chunks; more
// than that is no use to anybody and is not read.
constexpr int MaximumDeltasPerChunk = 16;
constexpr int MaximumBaseChunks = 64;

// The optional place of an object in a pack file ("pack", "packoffset"). Without an offset the
// pack is not used: the object is fetched by its own address, as by launchers that know no packs.
void readPackPlace(const QJsonObject &Object, const QUrl &BaseUrl, QUrl &PackUrl,
                   quint64 &PackOffset)
{
    const QJsonValue offset = Object.value(keys::PackOffset);
    if (!offset.isDouble() && !offset.isString())
        return;
    PackUrl = resolvePackageUrlText(BaseUrl, Object.value(keys::Pack).toString());
    PackOffset = sizeFromJson(offset);
}

std::vector<TChunkDelta> readDeltas(const QJsonValue &Value, const QUrl &BaseUrl)
{
    std::vector<TChunkDelta> deltas;
    for (const QJsonValue &entry : Value.toArray()) {
        if (deltas.size() >= size_t(MaximumDeltasPerChunk))
            break;
        const QJsonObject object = entry.toObject();
        TChunkDelta delta;
        delta.url = resolvePackageUrlText(BaseUrl, object.value(keys::Url).toString());
        delta.packedSize = sizeFromJson(object.value(keys::PackedSize));
        delta.packedHash = hashFromJson(object.value(keys::PackedHash));
        readPackPlace(object, BaseUrl, delta.packUrl, delta.packOffset);
        delta.baseHash = hashFromJson(object.value(keys::BaseHash));
        delta.baseSize = sizeFromJson(object.value(keys::BaseSize));
        const QJsonArray base = object.value(keys::Base).toArray();
        if (delta.url.isEmpty() || base.isEmpty() || base.size() > MaximumBaseChunks)
            continue;
        for (const QJsonValue &hash : base)
            delta.baseChunkHashes.push_back(hashFromJson(hash));
        deltas.push_back(std::move(delta));
    }
    return deltas;
}

TChunkInPackage readChunk(const QJsonObject &Object, const QUrl &BaseUrl)
{
    TChunkInPackage chunk;
    chunk.url = resolvePackageUrlText(BaseUrl, Object.value(keys::Url).toString());
    chunk.packedSize = sizeFromJson(Object.value(keys::PackedSize));
    chunk.packedHash = hashFromJson(Object.value(keys::PackedHash));
    chunk.unpackedSize = sizeFromJson(Object.value(keys::UnpackedSize));
    chunk.unpackedHash = hashFromJson(Object.value(keys::UnpackedHash));
    chunk.unpack = Object.value(keys::Unpack).toBool(true);
    readPackPlace(Object, BaseUrl, chunk.packUrl, chunk.packOffset);
    chunk.deltas = readDeltas(Object.value(keys::Deltas), BaseUrl);
    return chunk;
}

TPatchInPackage readPatch(const QJsonObject &Object, const QUrl &BaseUrl)
{
    TPatchInPackage patch;
    patch.url = resolvePackageUrlText(BaseUrl, Object.value(keys::Url).toString());
    patch.fromVersion = QString::number(int64FromJson(Object.value(keys::FromVersion)));
    patch.toVersion = QString::number(int64FromJson(Object.value(keys::ToVersion)));
    patch.size = int64FromJson(Object.value(keys::Size));
    return patch;
}

// Names Windows cannot hold as they are: device names ("CON", "NUL", "COM1" and the others, also
// with any extension, "nul.txt"), which open the device instead of a file; names ending in a dot or
// a space, which Windows trims so that they alias another file; and characters it refuses or reads
// otherwise (":" names a stream of another file). Packages are refused with such names on every
// platform, so that a build that installs here also installs on the players' machines.
bool isUnusableOnWindows(const QString &Name)
{
    if (Name.isEmpty() || Name == QLatin1String(".") || Name == QLatin1String(".."))
        return false;
    if (Name.endsWith(QLatin1Char('.')) || Name.endsWith(QLatin1Char(' ')))
        return true;
    const QString reservedCharacters = QStringLiteral("<>:\"|?*");
    for (const QChar character : Name) {
        if (character.unicode() < 0x20 || reservedCharacters.contains(character))
            return true;
    }
    const QString base = Name.left(Name.indexOf(QLatin1Char('.'))).trimmed().toUpper();
    static const QStringList devices{QStringLiteral("CON"),    QStringLiteral("PRN"),
                                     QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                     QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (devices.contains(base))
        return true;
    // COM0 to COM9 and LPT0 to LPT9, and with the superscript digits 1 to 3.
    const QString numberedDevice = QStringLiteral("0123456789\u00B9\u00B2\u00B3");
    return base.size() == 4 &&
           (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))) &&
           numberedDevice.contains(base.at(3));
}

TFileInPackage readFile(const QJsonObject &Object, const QUrl &BaseUrl)
{
    TFileInPackage file;
    file.localFile = Object.value(keys::LocalFile).toString();
    file.unpackedHash = hashFromJson(Object.value(keys::UnpackedHash));
    file.unpackedSize = sizeFromJson(Object.value(keys::UnpackedSize));
    file.executable = Object.value(keys::Executable).toBool(false);
    file.wholeFile = readChunk(Object, BaseUrl);

    const QJsonArray chunks = Object.value(keys::Chunks).toArray();
    file.chunkIndices.reserve(static_cast<size_t>(chunks.size()));
    for (const QJsonValue &index : chunks) {
        // A number that is no valid index must not turn into a valid one; -1 is rejected later.
        file.chunkIndices.push_back(index.isDouble() ? intFromJson(index, -1) : 0);
    }

    const QJsonArray patches = Object.value(keys::Patches).toArray();
    for (const QJsonValue &patch : patches)
        file.patches.push_back(readPatch(patch.toObject(), BaseUrl));
    return file;
}

EGeneration generationFromString(const QString &Text)
{
    if (Text == QLatin1String("first"))
        return EGeneration::First;
    if (Text == QLatin1String("second"))
        return EGeneration::Second;
    return EGeneration::Other;
}

EVariant variantFromString(const QString &Text)
{
    if (Text == QLatin1String("regular"))
        return EVariant::Regular;
    if (Text == QLatin1String("preview"))
        return EVariant::Preview;
    if (Text == QLatin1String("beta"))
        return EVariant::Beta;
    if (Text == QLatin1String("test"))
        return EVariant::Test;
    return EVariant::Other;
}

} // namespace

TPackageConfigurationReader::TPackageConfigurationReader(const QByteArray &PackageJson,
                                                         const QByteArray &AssetJson,
                                                         const QUrl &PackageBaseUrl,
                                                         const QUrl &AssetBaseUrl)
    : m_packageBaseUrl(PackageBaseUrl), m_assetBaseUrl(AssetBaseUrl), m_packageJson(PackageJson),
      m_assetJson(AssetJson)
{
    QJsonParseError error;
    const QJsonDocument packageDocument = QJsonDocument::fromJson(PackageJson, &error);
    if (error.error != QJsonParseError::NoError) {
        qCCritical(lcPackages).noquote()
            << "JSON package configuration file could not be parsed, using default package.";
        return;
    }

    QJsonDocument assetDocument;
    if (!AssetJson.isEmpty()) {
        assetDocument = QJsonDocument::fromJson(AssetJson, &error);
        if (error.error != QJsonParseError::NoError) {
            qCCritical(lcPackages).noquote()
                << "JSON asset configuration file could not be parsed, using default package.";
            return;
        }
    }

    readPackageDocument(packageDocument.object());
    if (assetDocument.isObject())
        readAssetDocument(assetDocument.object());

    dropChunkIndicesOutsideChunkList();
    // Stable, so that of two entries with one name the first in the documents comes first.
    std::stable_sort(m_files.begin(), m_files.end(),
                     [](const TFileInPackage &Left, const TFileInPackage &Right) {
                         return Left.localFile < Right.localFile;
                     });
    m_isValid = true;
}

// Contradictions that no installation can satisfy: whichever entry wins, another one ends
// unwritten or is overwritten, depending on which chunk arrives first. Names are compared as the
// installation resolves them, and without regard to case where the file system ignores it.
bool TPackageConfigurationReader::windowsFileNames()
{
    return QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows;
}

QString TPackageConfigurationReader::inconsistency(Qt::CaseSensitivity FileNameCase,
                                                   bool WindowsNames) const
{
    const QString prefix = QStringLiteral("Inconsistent package configuration: ");
    const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    for (const TFileInPackage &file : m_files) {
        const QStringList names = file.localFile.split(separators);
        if (WindowsNames && std::any_of(names.begin(), names.end(), isUnusableOnWindows))
            return prefix +
                   QStringLiteral("'%1' cannot be a file name on Windows (a device name, a "
                                  "name ending in a dot or a space, or a reserved "
                                  "character).")
                       .arg(file.localFile);
    }
    std::vector<bool> referenced(m_chunks.size(), false);
    for (const TFileInPackage &file : m_files) {
        for (const int index : file.chunkIndices)
            referenced[std::size_t(index)] = true;
    }
    QHash<QUrl, const TChunkInPackage *> contentByUrl;
    const auto sameUrlOtherContent = [&contentByUrl](const TChunkInPackage &Chunk) {
        if (Chunk.url.isEmpty())
            return false;
        const TChunkInPackage *&known = contentByUrl[Chunk.url];
        if (!known)
            known = &Chunk;
        return known->unpackedHash != Chunk.unpackedHash ||
               known->unpackedSize != Chunk.unpackedSize || known->unpack != Chunk.unpack;
    };
    for (std::size_t index = 0; index < m_chunks.size(); ++index) {
        if (referenced[index] && sameUrlOtherContent(m_chunks[index]))
            return prefix + QStringLiteral("the address '%1' is given for two different contents.")
                                .arg(m_chunks[index].url.toString());
    }
    for (const TFileInPackage &file : m_files) {
        if (sameUrlOtherContent(file.wholeFile))
            return prefix + QStringLiteral("the address '%1' is given for two different contents.")
                                .arg(file.wholeFile.url.toString());
    }

    const ::shared::TFileSystemHelper resolver;
    // A drive root on Windows: names joined to a bare "/" would read as "//server" or "//./device".
    const QDir root(QDir::rootPath());
    const auto key = [FileNameCase](const QString &Path) {
        return FileNameCase == Qt::CaseInsensitive ? Path.toCaseFolded() : Path;
    };
    std::vector<std::pair<QString, const TFileInPackage *>> names;
    names.reserve(m_files.size());
    for (const TFileInPackage &file : m_files)
        names.emplace_back(key(resolver.filePathInDirectory(root, file.localFile)), &file);
    std::stable_sort(names.begin(), names.end(),
                     [](const auto &Left, const auto &Right) { return Left.first < Right.first; });
    // Names that stand for the directory itself are refused by the installation on their own.
    const QString rootName = key(resolver.filePathInDirectory(root, QString()));
    for (std::size_t index = 0; index < names.size(); ++index) {
        const auto &[name, file] = names[index];
        if (name == rootName)
            continue;
        if (index + 1 < names.size() && names[index + 1].first == name) {
            const TFileInPackage &other = *names[index + 1].second;
            if (other.unpackedHash != file->unpackedHash ||
                other.unpackedSize != file->unpackedSize)
                return prefix + QStringLiteral("the file '%1' is listed twice with different "
                                               "content.")
                                    .arg(file->localFile);
        }
        const QString directory = name.endsWith(QLatin1Char('/')) ? name : name + QLatin1Char('/');
        const auto below = std::lower_bound(
            names.begin() + std::ptrdiff_t(index), names.end(), directory,
            [](const auto &Entry, const QString &Name) { return Entry.first < Name; });
        if (below != names.end() && below->first.startsWith(directory))
            return prefix + QStringLiteral("'%1' is listed both as a file and as a directory.")
                                .arg(file->localFile);
    }
    return {};
}

void TPackageConfigurationReader::readPackageDocument(const QJsonObject &Document)
{
    m_packageVersion = Document.value(keys::Version).toString();
    m_executable = Document.value(keys::Executable).toString();
    m_generation = generationFromString(Document.value(keys::Generation).toString());
    m_variant = variantFromString(Document.value(keys::Variant).toString());
    readChunksAndFiles(Document, m_packageBaseUrl);
    const QJsonArray parameters = Document.value(keys::Parameters).toArray();
    for (const QJsonValue &parameter : parameters)
        m_parameters.append(parameter.toString());
}

void TPackageConfigurationReader::readAssetDocument(const QJsonObject &Document)
{
    const QJsonValue version = Document.value(keys::Version);
    m_assetVersion =
        version.isDouble() ? QString::number(intFromJson(version, 0)) : version.toString();
    readChunksAndFiles(Document, m_assetBaseUrl);
}

void TPackageConfigurationReader::readChunksAndFiles(const QJsonObject &Document,
                                                     const QUrl &BaseUrl)
{
    const QJsonArray chunks = Document.value(keys::Chunks).toArray();
    for (const QJsonValue &chunk : chunks)
        m_chunks.push_back(readChunk(chunk.toObject(), BaseUrl));
    const QJsonArray files = Document.value(keys::Files).toArray();
    for (const QJsonValue &file : files)
        m_files.push_back(readFile(file.toObject(), BaseUrl));
}

// Every user indexes the chunk list with these values without further checks, so a file entry
// that names a chunk outside the list loses its whole chunk list here. It is then handled through
// its whole-file description, like a file that never had a chunk list.
void TPackageConfigurationReader::dropChunkIndicesOutsideChunkList()
{
    const auto chunkCount = static_cast<qint64>(m_chunks.size());
    for (TFileInPackage &file : m_files) {
        const bool outside =
            std::any_of(file.chunkIndices.begin(), file.chunkIndices.end(),
                        [chunkCount](int Index) { return Index < 0 || Index >= chunkCount; });
        if (outside) {
            qCWarning(lcPackages).noquote() << "Chunk index outside the chunk list in file entry"
                                            << file.localFile << "- its chunk list is ignored.";
            file.chunkIndices.clear();
        }
    }
}

QString TPackageConfigurationReader::versionString() const
{
    const QString unknown = QStringLiteral("?");
    return QStringLiteral("P%1 A%2").arg(m_packageVersion.isEmpty() ? unknown : m_packageVersion,
                                         m_assetVersion.isEmpty() ? unknown : m_assetVersion);
}

} // namespace vorna::launcher
