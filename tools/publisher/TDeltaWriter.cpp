#include "TDeltaWriter.h"

#include "TPublishError.h"
#include "format/TTextError.h"

#include "format/BlobContainer.h"
#include "format/DocumentKeys.h"
#include "format/TSha256.h"
#include "format/TZstdDelta.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSet>

#include <algorithm>

namespace vorna::publisher {

namespace keys = ::shared::documentkeys;

namespace {

QString hexText(const QByteArray &Hash)
{
    return QString::fromLatin1(Hash.toHex());
}

QByteArray readFile(const QString &Path)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// The files of a package or asset document with their chunk lists, as the launcher reads them.
void readDocument(const QByteArray &Bytes, std::vector<TDeltaWriter::TPiece> &Chunks,
                  QHash<QString, std::vector<TDeltaWriter::TPiece>> &Files)
{
    const QJsonObject document = QJsonDocument::fromJson(Bytes).object();
    for (const QJsonValue &value : document.value(keys::Chunks).toArray()) {
        const QJsonObject chunk = value.toObject();
        Chunks.push_back(
            {QByteArray::fromHex(chunk.value(keys::UnpackedHash).toString().toLatin1()),
             qint64(chunk.value(keys::UnpackedSize).toDouble())});
    }
    for (const QJsonValue &value : document.value(keys::Files).toArray()) {
        const QJsonObject file = value.toObject();
        std::vector<TDeltaWriter::TPiece> pieces;
        for (const QJsonValue &index : file.value(keys::Chunks).toArray()) {
            const int at = index.toInt(-1);
            if (at < 0 || size_t(at) >= Chunks.size()) {
                pieces.clear();
                break;
            }
            pieces.push_back(Chunks[size_t(at)]);
        }
        if (!pieces.empty())
            Files.insert(file.value(keys::LocalFile).toString(), pieces);
    }
}

QJsonObject versionToJson(const TDeltaWriter::TVersion &Version)
{
    QJsonObject files;
    for (auto file = Version.files.constBegin(); file != Version.files.constEnd(); ++file) {
        QJsonArray pieces;
        for (const TDeltaWriter::TPiece &piece : file.value())
            pieces.append(QJsonArray{hexText(piece.hash), double(piece.length)});
        files.insert(file.key(), pieces);
    }
    return QJsonObject{{QStringLiteral("version"), Version.version},
                       {QStringLiteral("files"), files}};
}

TDeltaWriter::TVersion versionFromJson(const QJsonObject &Object)
{
    TDeltaWriter::TVersion version;
    version.version = Object.value(QStringLiteral("version")).toString();
    const QJsonObject files = Object.value(QStringLiteral("files")).toObject();
    for (auto file = files.constBegin(); file != files.constEnd(); ++file) {
        std::vector<TDeltaWriter::TPiece> pieces;
        for (const QJsonValue &value : file.value().toArray()) {
            const QJsonArray piece = value.toArray();
            pieces.push_back({QByteArray::fromHex(piece.at(0).toString().toLatin1()),
                              qint64(piece.at(1).toDouble())});
        }
        version.files.insert(file.key(), pieces);
    }
    return version;
}

// The older chunks a new chunk most likely came from: those between the nearest chunks before
// and after it that the older version has too. Cut down to PreferredBaseSize around the chunk's
// relative position when the run is long.
std::vector<TDeltaWriter::TPiece> baseFor(const std::vector<TDeltaWriter::TPiece> &Pieces,
                                          const std::vector<qint64> &Offsets, size_t Index,
                                          const std::vector<TDeltaWriter::TPiece> &Old,
                                          const QHash<QByteArray, int> &OldIndex)
{
    int before = -1;
    size_t newStart = 0;
    for (size_t j = Index; j-- > 0;) {
        const auto found = OldIndex.constFind(Pieces[j].hash);
        if (found != OldIndex.constEnd()) {
            before = *found;
            newStart = j + 1;
            break;
        }
    }
    int after = int(Old.size());
    for (size_t j = Index + 1; j < Pieces.size(); ++j) {
        const auto found = OldIndex.constFind(Pieces[j].hash);
        if (found != OldIndex.constEnd()) {
            after = *found;
            break;
        }
    }
    std::vector<TDeltaWriter::TPiece> run;
    std::vector<qint64> runOffsets;
    qint64 runLength = 0;
    if (after <= before) {
        before = -1;
        after = int(Old.size());
        newStart = 0;
    }
    for (int k = before + 1; k < after; ++k) {
        runOffsets.push_back(runLength);
        run.push_back(Old[size_t(k)]);
        runLength += Old[size_t(k)].length;
    }
    if (runLength <= TDeltaWriter::PreferredBaseSize)
        return run;

    // Only what lies around the chunk's own position in the run.
    const qint64 relative = Offsets[Index] - Offsets[newStart];
    const qint64 margin = (TDeltaWriter::PreferredBaseSize - Pieces[Index].length) / 2;
    std::vector<TDeltaWriter::TPiece> near;
    qint64 nearLength = 0;
    for (size_t k = 0; k < run.size(); ++k) {
        const qint64 start = runOffsets[k];
        const qint64 end = start + run[k].length;
        if (end > relative - margin && start < relative + Pieces[Index].length + margin &&
            nearLength + run[k].length <= ::shared::TZstdDelta::MaximumBaseSize) {
            near.push_back(run[k]);
            nearLength += run[k].length;
        }
    }
    return near;
}

} // namespace

QString TDeltaWriter::historyPath(const QString &OutputDirectory, const QString &PackageFileName)
{
    return QDir(OutputDirectory)
        .filePath(QFileInfo(PackageFileName).completeBaseName() + QStringLiteral("-history.json"));
}

std::vector<TDeltaWriter::TVersion> TDeltaWriter::loadHistory(const QString &OutputDirectory,
                                                              const QString &PackageFileName,
                                                              const QString &AssetFileName)
{
    std::vector<TVersion> versions;
    const QByteArray history = readFile(historyPath(OutputDirectory, PackageFileName));
    if (!history.isEmpty()) {
        for (const QJsonValue &value :
             QJsonDocument::fromJson(history).object().value(QStringLiteral("versions")).toArray())
            versions.push_back(versionFromJson(value.toObject()));
        return versions;
    }
    // Published before the history was kept: the documents in place are the last version.
    const QByteArray package = readFile(QDir(OutputDirectory).filePath(PackageFileName));
    if (package.isEmpty())
        return versions;
    TVersion last;
    last.version = QJsonDocument::fromJson(package).object().value(keys::Version).toString();
    std::vector<TPiece> chunks;
    readDocument(package, chunks, last.files);
    const QByteArray assets = readFile(QDir(OutputDirectory).filePath(AssetFileName));
    if (!assets.isEmpty())
        readDocument(assets, chunks, last.files);
    if (!last.files.isEmpty())
        versions.push_back(last);
    return versions;
}

void TDeltaWriter::saveHistory(const QString &Path, const TVersion &NewVersion,
                               const std::vector<TVersion> &History, int Count)
{
    QJsonArray versions;
    versions.append(versionToJson(NewVersion));
    for (const TVersion &version : History) {
        if (versions.size() >= Count)
            break;
        // Publishing a version again replaces its record.
        if (version.version != NewVersion.version)
            versions.append(versionToJson(version));
    }
    QSaveFile file(Path);
    const QByteArray bytes = QJsonDocument(QJsonObject{{QStringLiteral("versions"), versions}})
                                 .toJson(QJsonDocument::Compact);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw TPublishError(::shared::EErrorCode::WriteFailed, Path,
                            QStringLiteral("Could not write '%1': %2")
                                .arg(QDir::toNativeSeparators(Path), file.errorString()));
}

void TDeltaWriter::planFile(const QString &LocalFile, const QString &Path,
                            const std::vector<TPiece> &Pieces, const std::vector<qint64> &Offsets,
                            const std::vector<TVersion> &Versions, std::vector<TJob> &Jobs)
{
    QSet<QByteArray> planned; // one job per target and base
    for (const TVersion &version : Versions) {
        const auto old = version.files.constFind(LocalFile);
        if (old == version.files.constEnd() || old->empty())
            continue;
        QHash<QByteArray, int> oldIndex;
        for (size_t k = 0; k < old->size(); ++k) {
            if (!oldIndex.contains((*old)[k].hash))
                oldIndex.insert((*old)[k].hash, int(k));
        }
        for (size_t index = 0; index < Pieces.size(); ++index) {
            if (oldIndex.contains(Pieces[index].hash) || Pieces[index].length == 0)
                continue; // the player has it already
            std::vector<TPiece> base = baseFor(Pieces, Offsets, index, *old, oldIndex);
            base.erase(std::remove_if(base.begin(), base.end(),
                                      [](const TPiece &Piece) { return Piece.length <= 0; }),
                       base.end());
            if (base.empty())
                continue;
            QByteArray key = Pieces[index].hash;
            for (const TPiece &piece : base)
                key += piece.hash;
            if (planned.contains(key))
                continue;
            planned.insert(key);
            Jobs.push_back({Pieces[index].hash, Path, Offsets[index], Pieces[index].length, base,
                            version.version});
        }
    }
}

TDeltaWriter::TOutcome TDeltaWriter::produce(const TChunkStore &Store, TDecodedChunkCache &Chunks,
                                             const TJob &Job, qint64 FullPackedSize, int Level)
{
    TOutcome outcome;
    outcome.targetHash = Job.targetHash;
    outcome.baseVersion = Job.baseVersion;
    try {
        // The base as the launcher assembles it: the older chunks' content, in order. A chunk
        // the store lacks (published elsewhere) or that does not unpack leaves nothing to build
        // from.
        QByteArray base;
        for (const TPiece &piece : Job.base) {
            const QByteArray content = Chunks.content(piece.hash, piece.length);
            if (content.isEmpty() && piece.length > 0)
                return outcome;
            base += content;
        }
        outcome.baseHash = ::shared::sha256(base);
        outcome.baseSize = base.size();
        for (const TPiece &piece : Job.base)
            outcome.baseChunks.push_back(piece.hash);
        outcome.path = Store.deltaPath(Job.targetHash, outcome.baseHash);

        QByteArray delta = readFile(outcome.path);
        if (delta.isEmpty()) {
            const QByteArray content =
                TChunkStore::readSourcePiece(Job.path, Job.offset, Job.length, Job.targetHash);
            delta = ::shared::TZstdDelta::create(base, content, Level);
            if (double(delta.size()) > double(FullPackedSize) * MaximumShare)
                return outcome;
            if (Store.putInPlace(outcome.path, delta, QStringLiteral("delta"))) {
                outcome.written = true;
            } else {
                // Another run stored it meanwhile; the documents describe its bytes.
                delta = readFile(outcome.path);
                if (delta.isEmpty())
                    throw TPublishError(
                        ::shared::EErrorCode::WriteFailed, outcome.path,
                        QStringLiteral("Could not write delta file '%1'").arg(outcome.path));
            }
        } else if (double(delta.size()) > double(FullPackedSize) * MaximumShare) {
            return outcome;
        }
        outcome.packedSize = delta.size();
        outcome.packedHash = ::shared::sha256(delta);
        outcome.pays = true;
    } catch (const TPublishError &) {
        outcome.failure = std::current_exception();
    } catch (const std::exception &) {
        // A delta that cannot be made (a base chunk that does not decode, libzstd failing) is
        // simply not offered; the chunk itself always is.
        outcome.pays = false;
    }
    return outcome;
}

::shared::TDeltaEntry TDeltaWriter::describe(const TOutcome &Outcome, const QString &Url,
                                             const std::optional<::shared::TPackPlace> &Place)
{
    ::shared::TDeltaEntry delta;
    delta.url = Url;
    delta.packedSize = quint64(Outcome.packedSize);
    delta.packedHash = Outcome.packedHash;
    delta.packPlace = Place;
    delta.baseHash = Outcome.baseHash;
    delta.baseSize = quint64(Outcome.baseSize);
    delta.baseChunkHashes = Outcome.baseChunks;
    return delta;
}

} // namespace vorna::publisher
