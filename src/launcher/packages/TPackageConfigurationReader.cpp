#include "TPackageConfigurationReader.h"

#include "TPackageBuild.h"
#include "format/TDocumentReader.h"
#include "shared/LogCategories.h"
#include "shared/TFileSystemHelper.h"

#include <QDebug>
#include <QDir>
#include <QHash>
#include <QOperatingSystemVersion>
#include <QRegularExpression>

#include <algorithm>

namespace vorna::launcher {

namespace {

// Every address of a document is resolved against the document's own address.
std::vector<TChunkDelta> deltasFrom(const std::vector<::shared::TDeltaEntry> &Entries,
                                    const QUrl &BaseUrl)
{
    std::vector<TChunkDelta> deltas;
    deltas.reserve(Entries.size());
    for (const ::shared::TDeltaEntry &entry : Entries) {
        TChunkDelta delta;
        delta.url = resolvePackageUrlText(BaseUrl, entry.url);
        delta.packedSize = entry.packedSize;
        delta.packedHash = entry.packedHash;
        if (entry.packPlace) {
            delta.packUrl = resolvePackageUrlText(BaseUrl, entry.packPlace->pack);
            delta.packOffset = entry.packPlace->offset;
        }
        delta.baseHash = entry.baseHash;
        delta.baseSize = entry.baseSize;
        delta.baseChunkHashes = entry.baseChunkHashes;
        deltas.push_back(std::move(delta));
    }
    return deltas;
}

TChunkInPackage chunkFrom(const ::shared::TChunkEntry &Entry, const QUrl &BaseUrl)
{
    TChunkInPackage chunk;
    chunk.url = resolvePackageUrlText(BaseUrl, Entry.url);
    chunk.packedSize = Entry.packedSize;
    chunk.packedHash = Entry.packedHash;
    chunk.unpackedSize = Entry.unpackedSize;
    chunk.unpackedHash = Entry.unpackedHash;
    chunk.unpack = Entry.unpack;
    if (Entry.packPlace) {
        chunk.packUrl = resolvePackageUrlText(BaseUrl, Entry.packPlace->pack);
        chunk.packOffset = Entry.packPlace->offset;
    }
    chunk.deltas = deltasFrom(Entry.deltas, BaseUrl);
    return chunk;
}

TPatchInPackage patchFrom(const ::shared::TPatchEntry &Entry, const QUrl &BaseUrl)
{
    TPatchInPackage patch;
    patch.url = resolvePackageUrlText(BaseUrl, Entry.url);
    patch.fromVersion = QString::number(Entry.fromVersion);
    patch.toVersion = QString::number(Entry.toVersion);
    patch.size = Entry.size;
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

TFileInPackage fileFrom(const ::shared::TFileEntry &Entry, const QUrl &BaseUrl)
{
    TFileInPackage file;
    file.localFile = Entry.localFile;
    file.unpackedHash = Entry.unpackedHash;
    file.unpackedSize = Entry.unpackedSize;
    file.executable = Entry.executable;
    file.wholeFile = chunkFrom(Entry.wholeFile, BaseUrl);
    file.chunkIndices = Entry.chunkIndices;
    for (const ::shared::TPatchEntry &patch : Entry.patches)
        file.patches.push_back(patchFrom(patch, BaseUrl));
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
    ::shared::TPackageDocument packageDocument;
    if (!::shared::TDocumentReader::read(PackageJson, packageDocument)) {
        qCCritical(lcPackages).noquote()
            << "JSON package configuration file could not be parsed, using default package.";
        return;
    }

    // Empty asset bytes stand for a package without assets.
    ::shared::TAssetDocument assetDocument;
    if (!AssetJson.isEmpty() && !::shared::TDocumentReader::read(AssetJson, assetDocument)) {
        qCCritical(lcPackages).noquote()
            << "JSON asset configuration file could not be parsed, using default package.";
        return;
    }

    readPackageDocument(packageDocument);
    readAssetDocument(assetDocument);

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

void TPackageConfigurationReader::readPackageDocument(const ::shared::TPackageDocument &Document)
{
    m_packageVersion = Document.version;
    m_executable = Document.executable;
    m_generation = generationFromString(Document.generation);
    m_variant = variantFromString(Document.variant);
    readChunksAndFiles(Document.chunks, Document.files, m_packageBaseUrl);
    m_parameters = Document.parameters;
}

void TPackageConfigurationReader::readAssetDocument(const ::shared::TAssetDocument &Document)
{
    m_assetVersion = Document.version;
    readChunksAndFiles(Document.chunks, Document.files, m_assetBaseUrl);
}

void TPackageConfigurationReader::readChunksAndFiles(
    const std::vector<::shared::TChunkEntry> &Chunks,
    const std::vector<::shared::TFileEntry> &Files, const QUrl &BaseUrl)
{
    for (const ::shared::TChunkEntry &chunk : Chunks)
        m_chunks.push_back(chunkFrom(chunk, BaseUrl));
    for (const ::shared::TFileEntry &file : Files)
        m_files.push_back(fileFrom(file, BaseUrl));
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
