#include "TPackagePublisher.h"

#include "TChunkStore.h"
#include "TDeltaWriter.h"
#include "TPackWriter.h"
#include "TPublishError.h"
#include "TReleaseSigner.h"
#include "format/TTextError.h"

#include "format/TContentDefinedChunker.h"
#include "format/TDocumentWriter.h"
#include "format/TSha256.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QHash>
#include <QJsonObject>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

namespace vorna::publisher {

namespace {

using TCounter = std::shared_ptr<std::atomic<qint64>>;

struct TSourceFile
{
    QString path;
    QString localFile;
    bool executable = false;
    bool asset = false;
    qint64 size = 0;
    QDateTime modified;
};

struct TPiece
{
    qint64 offset = 0;
    qint64 length = 0;
    QByteArray hash;
};

struct TChunkedFile
{
    TSourceFile source;
    qint64 size = 0;
    QByteArray hash;
    std::vector<TPiece> pieces;
    QString error;
};

struct TChunkJob
{
    QByteArray hash;
    QString path;
    qint64 offset = 0;
    qint64 length = 0;
};

using TDeltasByChunk = QHash<QByteArray, std::vector<TDeltaWriter::TOutcome>>;
// Places of the packed objects by the path of the object file.
using TPackPlaces = QHash<QString, TPackWriter::TPlace>;

struct TChunkOutcome
{
    QByteArray hash;
    qint64 unpackedSize = 0;
    TChunkStore::TStoredChunk stored;
    QString error;
};

bool isSameOrInside(const QString &Path, const QString &Directory)
{
    return Path == Directory || Path.startsWith(Directory + QLatin1Char('/'));
}

// The canonical form of a directory that may not exist yet: the canonical path of its deepest
// existing ancestor followed by the missing rest. Links on the way are resolved, so two
// spellings of one place compare equal before anything is created.
QString plannedPath(const QString &Directory)
{
    QString existing = QDir::cleanPath(QFileInfo(Directory).absoluteFilePath());
    QString missing;
    while (!QFileInfo::exists(existing)) {
        const QFileInfo info(existing);
        const QString parent = info.path();
        if (parent == existing)
            break;
        missing =
            missing.isEmpty() ? info.fileName() : info.fileName() + QLatin1Char('/') + missing;
        existing = parent;
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    const QString base = canonical.isEmpty() ? existing : canonical;
    return missing.isEmpty() ? base : QDir::cleanPath(base + QLatin1Char('/') + missing);
}

// Makes the directory and returns its canonical path; throws when it cannot be written, before
// any work is spent on compression.
QString prepareWritableDirectory(const QString &Directory, const QString &What)
{
    const QString reason = createDirectories(Directory);
    if (!reason.isEmpty())
        throw TPublishError(QStringLiteral("The %1 '%2' cannot be created: %3")
                                .arg(What, QDir::toNativeSeparators(Directory), reason));
    QTemporaryFile probe(Directory + QStringLiteral("/.corvane-publish-probe-XXXXXX"));
    if (!probe.open())
        throw TPublishError(
            QStringLiteral("The %1 '%2' is not writable: %3")
                .arg(What, QDir::toNativeSeparators(Directory), probe.errorString()));
    return QFileInfo(Directory).canonicalFilePath();
}

QString existingDirectory(const QString &Directory, const QString &What)
{
    const QFileInfo info(Directory);
    if (Directory.isEmpty() || !info.exists())
        throw TPublishError(QStringLiteral("The %1 '%2' does not exist")
                                .arg(What, QDir::toNativeSeparators(Directory)));
    if (!info.isDir())
        throw TPublishError(QStringLiteral("The %1 '%2' is not a directory")
                                .arg(What, QDir::toNativeSeparators(Directory)));
    if (!info.isReadable())
        throw TPublishError(QStringLiteral("The %1 '%2' is not readable: permission denied")
                                .arg(What, QDir::toNativeSeparators(Directory)));
    return info.canonicalFilePath();
}

// Walks one directory of the tree below Root (canonical). Links are followed, files and
// directories alike, as long as they lead to a place inside Root; a link that leads out of
// the tree, nowhere, or into a directory it is itself inside stops the run with the link's
// name: a package never silently lacks what a link stood for. Ancestors holds the canonical
// directories from Root down to this one.
void collectFiles(const QString &Root, const QString &Directory, QStringList &Ancestors,
                  const QDir &Base, bool Asset, std::vector<TSourceFile> &Files)
{
    const QDir directory(Directory);
    if (!directory.isReadable())
        throw TPublishError(QStringLiteral("Could not read directory '%1': permission denied")
                                .arg(QDir::toNativeSeparators(Directory)));
    // System entries are listed too, so that a device or socket in a build directory stops the
    // run instead of silently missing from the package.
    const QFileInfoList entries = directory.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &info : entries) {
        const QString path = info.filePath();
        const QString real = info.canonicalFilePath();
        if (info.isSymbolicLink() || info.isJunction()) {
            const QString name = QDir::toNativeSeparators(path);
            if (real.isEmpty())
                throw TPublishError(
                    QStringLiteral("The link '%1' leads to '%2', which does not exist")
                        .arg(name, QDir::toNativeSeparators(info.symLinkTarget())));
            if (!isSameOrInside(real, Root))
                throw TPublishError(
                    QStringLiteral("The link '%1' leads to '%2', outside '%3': copy the files "
                                   "into the directory or publish the target directly")
                        .arg(name, QDir::toNativeSeparators(real), QDir::toNativeSeparators(Root)));
            if (info.isDir() && Ancestors.contains(real))
                throw TPublishError(QStringLiteral("The link '%1' leads to '%2', which contains "
                                                   "the link: the tree would never end")
                                        .arg(name, QDir::toNativeSeparators(real)));
        }
        if (info.isDir()) {
            Ancestors.append(real);
            collectFiles(Root, path, Ancestors, Base, Asset, Files);
            Ancestors.removeLast();
            continue;
        }
        if (!info.isFile())
            throw TPublishError(QStringLiteral("Could not read file '%1': not a regular file")
                                    .arg(QDir::toNativeSeparators(path)));
        TSourceFile file;
        file.path = path;
        file.localFile = Base.relativeFilePath(path);
        file.executable =
            info.permissions() & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
        file.asset = Asset;
        file.size = info.size();
        file.modified = info.lastModified();
        Files.push_back(file);
    }
}

// Every file below Directory (canonical), in the order of their names.
std::vector<TSourceFile> listFiles(const QString &Directory, bool Asset)
{
    std::vector<TSourceFile> files;
    QStringList ancestors{Directory};
    collectFiles(Directory, Directory, ancestors, QDir(Directory), Asset, files);
    std::sort(files.begin(), files.end(), [](const TSourceFile &Left, const TSourceFile &Right) {
        return Left.localFile < Right.localFile;
    });
    return files;
}

// Names that stand for one file where letter case is ignored (Windows, usually macOS), as
// "'xt_DSCP.ko' and 'xt_dscp.ko'": a file twice, or a file and a directory. The launcher on
// such a file system refuses the package as contradicting itself; elsewhere it installs.
QStringList caseCollisions(const std::vector<TSourceFile> &Sources)
{
    QHash<QString, QString> fileByFoldedName;
    QStringList pairs;
    for (const TSourceFile &file : Sources) {
        const QString folded = file.localFile.toCaseFolded();
        const auto known = fileByFoldedName.constFind(folded);
        if (known == fileByFoldedName.constEnd())
            fileByFoldedName.insert(folded, file.localFile);
        else
            pairs << QStringLiteral("'%1' and '%2'").arg(*known, file.localFile);
    }
    for (const TSourceFile &file : Sources) {
        for (int slash = file.localFile.indexOf(QLatin1Char('/')); slash > 0;
             slash = file.localFile.indexOf(QLatin1Char('/'), slash + 1)) {
            const QString directory = file.localFile.left(slash);
            const auto known = fileByFoldedName.constFind(directory.toCaseFolded());
            if (known != fileByFoldedName.constEnd() && *known != directory)
                pairs << QStringLiteral("'%1' and '%2'").arg(*known, file.localFile);
        }
    }
    return pairs;
}

TChunkedFile chunkSourceFile(const TSourceFile &Source, const TCounter &Done)
{
    TChunkedFile result;
    result.source = Source;
    try {
        QFile probe(Source.path);
        if (!probe.open(QIODevice::ReadOnly)) {
            result.error = QStringLiteral("Could not read file '%1': %2")
                               .arg(QDir::toNativeSeparators(Source.path), probe.errorString());
            return result;
        }
        probe.close();
        // The launcher's own chunker, so the cut points here are the ones a player's disk scan
        // finds. One per file: a thread_local one would be destroyed in the exit of whichever
        // thread ran the task, the main thread included, where MinGW's runtime hangs.
        launcher::TContentDefinedChunker chunker;
        const bool read = chunker.chunkFile(
            Source.path, true,
            [&result, &Done](const launcher::TContentDefinedChunker::TChunk &Chunk) {
                result.pieces.push_back({Chunk.offset, Chunk.length, Chunk.hash});
                result.size += Chunk.length;
                *Done += Chunk.length;
            });
        result.hash = ::shared::TSha256::hashFile(Source.path);
        if (!read || result.hash.isEmpty()) {
            result.error = QStringLiteral("Could not read file '%1'")
                               .arg(QDir::toNativeSeparators(Source.path));
            return result;
        }
        // The launcher writes only files that have a chunk: an empty file gets one of no bytes.
        if (result.pieces.empty())
            result.pieces.push_back({0, 0, ::shared::sha256(QByteArray())});
    } catch (const std::exception &Error) {
        result.error = QStringLiteral("Could not chunk file '%1': %2")
                           .arg(QDir::toNativeSeparators(Source.path), ::shared::errorText(Error));
    }
    return result;
}

TChunkOutcome produceChunk(const TChunkStore &Store, const TChunkStore::TCompression &Compression,
                           const TChunkJob &Job, const TCounter &Done)
{
    TChunkOutcome outcome;
    outcome.hash = Job.hash;
    outcome.unpackedSize = Job.length;
    qint64 counted = 0;
    try {
        if (Store.contains(Job.hash)) {
            outcome.stored = Store.describe(Job.hash, Job.length);
        } else {
            // Compression comes long after chunking; the bytes must still be the ones hashed.
            const QByteArray content =
                TChunkStore::readSourcePiece(Job.path, Job.offset, Job.length, Job.hash);
            // A chunk takes seconds to compress: the counter follows the encoder, not only the
            // finished chunks.
            outcome.stored = Store.store(Job.hash, content, Compression, [&](qint64 Consumed) {
                *Done += Consumed - counted;
                counted = Consumed;
            });
        }
    } catch (const std::exception &Error) {
        outcome.error = ::shared::errorText(Error);
    }
    *Done += Job.length - counted;
    return outcome;
}

// Runs Work over Jobs on the global thread pool (one task per core) and reports the counter's
// progress every 200 ms. Work never throws; its results come back in job order.
template <typename Job, typename Work>
auto runOnPool(const std::vector<Job> &Jobs, Work Function, const TCounter &Done, qint64 Total,
               const QString &Stage, const TPackagePublisher::TProgressHandler &Progress)
{
    using TResult = decltype(Function(Jobs.front()));
    QFuture<TResult> future =
        QtConcurrent::mapped(Jobs, std::function<TResult(const Job &)>(Function));
    QFutureWatcher<TResult> watcher;
    QEventLoop loop;
    QTimer timer;
    timer.setInterval(200);
    QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&Progress, &Done, Total, &Stage] {
        if (Progress)
            Progress(Stage, Done->load(), Total);
    });
    watcher.setFuture(future);
    if (!future.isFinished()) {
        timer.start();
        loop.exec();
    }
    future.waitForFinished();
    if (Progress)
        Progress(Stage, Total, Total);
    const QList<TResult> results = future.results();
    return std::vector<TResult>(results.begin(), results.end());
}

// Describes one document's chunks and files. Indices count in the combined chunk list of the
// launcher's reader, in which the package document's chunks come first: FirstIndex is the number
// of chunks before this document's own.
void describeFiles(const std::vector<const TChunkedFile *> &Files,
                   const QHash<QByteArray, TChunkOutcome> &Outcomes, const QDir &OutputDirectory,
                   const TChunkStore &Store, int FirstIndex, const TDeltasByChunk &Deltas,
                   const TPackPlaces &Places, std::vector<::shared::TChunkEntry> &Chunks,
                   std::vector<::shared::TFileEntry> &Entries)
{
    const auto placeOf = [&](const QString &Path) -> std::optional<::shared::TPackPlace> {
        const auto place = Places.constFind(Path);
        if (place == Places.constEnd())
            return std::nullopt;
        return ::shared::TPackPlace{OutputDirectory.relativeFilePath(place->packPath),
                                    quint64(place->offset)};
    };
    QHash<QByteArray, int> indexOf;
    for (const TChunkedFile *file : Files) {
        ::shared::TFileEntry entry;
        for (const TPiece &piece : file->pieces) {
            auto found = indexOf.constFind(piece.hash);
            if (found == indexOf.constEnd()) {
                const TChunkOutcome &outcome = Outcomes[piece.hash];
                const QString path = Store.chunkPath(piece.hash);
                ::shared::TChunkEntry chunk;
                chunk.url = OutputDirectory.relativeFilePath(path);
                chunk.packedSize = quint64(outcome.stored.packedSize);
                chunk.packedHash = outcome.stored.packedHash;
                chunk.unpackedSize = quint64(outcome.unpackedSize);
                chunk.unpackedHash = piece.hash;
                chunk.unpack = outcome.stored.unpack;
                chunk.packPlace = placeOf(path);
                for (const TDeltaWriter::TOutcome &delta : Deltas.value(piece.hash))
                    chunk.deltas.push_back(TDeltaWriter::describe(
                        delta, OutputDirectory.relativeFilePath(delta.path), placeOf(delta.path)));
                found = indexOf.insert(piece.hash, FirstIndex + int(Chunks.size()));
                Chunks.push_back(std::move(chunk));
            }
            entry.chunkIndices.push_back(*found);
        }
        entry.localFile = file->source.localFile;
        entry.unpackedSize = quint64(file->size);
        entry.unpackedHash = file->hash;
        entry.executable = file->source.executable;
        Entries.push_back(std::move(entry));
    }
}

// Deltas from the chunks of the recorded earlier versions to the new chunks, on the pool. Keeps,
// per chunk, those that pay, newest version first.
TDeltasByChunk produceDeltas(const std::vector<TChunkedFile> &Files,
                             const QHash<QByteArray, TChunkOutcome> &Outcomes,
                             const TChunkStore &Store, std::vector<TDeltaWriter::TVersion> History,
                             const TPublishOptions &Options,
                             const TPackagePublisher::TProgressHandler &Progress,
                             TPublishReport &Report)
{
    TDeltasByChunk deltas;
    if (Options.deltaVersions <= 0 || History.empty())
        return deltas;
    if (History.size() > size_t(Options.deltaVersions))
        History.resize(size_t(Options.deltaVersions));
    std::vector<TDeltaWriter::TJob> jobs;
    for (const TChunkedFile &file : Files) {
        std::vector<TDeltaWriter::TPiece> pieces;
        std::vector<qint64> offsets;
        for (const TPiece &piece : file.pieces) {
            pieces.push_back({piece.hash, piece.length});
            offsets.push_back(piece.offset);
        }
        TDeltaWriter::planFile(file.source.localFile, file.source.path, pieces, offsets, History,
                               jobs);
    }
    // Files of equal content (copies, or a file reached through a link) plan the same deltas;
    // each is made once, so that no two workers write one delta file.
    QSet<QByteArray> planned;
    jobs.erase(std::remove_if(jobs.begin(), jobs.end(),
                              [&planned](const TDeltaWriter::TJob &Job) {
                                  QByteArray key = Job.targetHash;
                                  for (const TDeltaWriter::TPiece &piece : Job.base)
                                      key += piece.hash;
                                  if (planned.contains(key))
                                      return true;
                                  planned.insert(key);
                                  return false;
                              }),
               jobs.end());
    if (jobs.empty())
        return deltas;
    qint64 total = 0;
    for (const TDeltaWriter::TJob &job : jobs)
        total += job.length;
    const TCounter done = std::make_shared<std::atomic<qint64>>(0);
    const int level = Options.deltaLevel;
    const auto chunks = std::make_shared<TDecodedChunkCache>(Store);
    const std::vector<TDeltaWriter::TOutcome> results = runOnPool(
        jobs,
        [Store, chunks, Outcomes, level, done](const TDeltaWriter::TJob &Job) {
            const TDeltaWriter::TOutcome outcome = TDeltaWriter::produce(
                Store, *chunks, Job, Outcomes.value(Job.targetHash).stored.packedSize, level);
            *done += Job.length;
            return outcome;
        },
        done, total, QStringLiteral("Deltas"), Progress);
    QSet<QString> counted;
    for (const TDeltaWriter::TOutcome &outcome : results) {
        if (!outcome.error.isEmpty())
            throw TPublishError(outcome.error);
        if (!outcome.pays)
            continue;
        std::vector<TDeltaWriter::TOutcome> &offered = deltas[outcome.targetHash];
        const bool known =
            std::any_of(offered.begin(), offered.end(), [&](const TDeltaWriter::TOutcome &Other) {
                return Other.path == outcome.path;
            });
        if (known || offered.size() >= size_t(Options.deltaVersions))
            continue;
        offered.push_back(outcome);
        ++Report.deltasTotal;
        if (outcome.written && !counted.contains(outcome.path)) {
            counted.insert(outcome.path);
            ++Report.deltasNew;
            Report.deltaBytesNew += outcome.packedSize;
        }
    }
    return deltas;
}

// Groups the small objects of this version into packs: the deltas by the version they start from,
// each group in file order, so that a player's update reads a run of one pack; then the chunks,
// those without a delta first, in file order. Objects the documents in place already put into a
// pack keep that place.
TPackPlaces packObjects(const std::vector<TChunkedFile> &Files,
                        const QHash<QByteArray, TChunkOutcome> &Outcomes,
                        const TDeltasByChunk &Deltas, const TChunkStore &Store,
                        const std::vector<TDeltaWriter::TVersion> &History,
                        const TPublishOptions &Options, TPublishReport &Report)
{
    const TPackPlaces known = TPackWriter::knownPlaces(
        QDir(Options.outputDirectory), {Options.packageFileName, Options.assetFileName});
    TPackPlaces places;
    QSet<QString> taken;
    const auto take = [&](const QString &Path, qint64 Size, const QByteArray &Hash,
                          std::vector<TPackWriter::TObject> &Objects) {
        if (taken.contains(Path))
            return;
        taken.insert(Path);
        const auto place = known.constFind(Path);
        if (place != known.constEnd())
            places.insert(Path, *place);
        else if (Size > 0 && Size <= TPackWriter::MaximumObjectSize)
            Objects.push_back({Path, Size, Hash});
    };
    QHash<QString, std::vector<TPackWriter::TObject>> deltasByVersion;
    std::vector<TPackWriter::TObject> chunks;
    for (const TChunkedFile &file : Files) {
        for (const TPiece &piece : file.pieces) {
            for (const TDeltaWriter::TOutcome &delta : Deltas.value(piece.hash))
                take(delta.path, delta.packedSize, delta.packedHash,
                     deltasByVersion[delta.baseVersion]);
        }
    }
    // Chunks without a delta first: they are what a player one version behind fetches besides
    // the deltas, and lie together then; the others follow for fresh installs and fallbacks.
    for (const bool withDeltas : {false, true}) {
        for (const TChunkedFile &file : Files) {
            for (const TPiece &piece : file.pieces) {
                if (Deltas.contains(piece.hash) != withDeltas)
                    continue;
                const TChunkStore::TStoredChunk &stored = Outcomes[piece.hash].stored;
                take(Store.chunkPath(piece.hash), stored.packedSize, stored.packedHash, chunks);
            }
        }
    }
    TPackWriter writer(Store.directory());
    const auto write = [&](const std::vector<TPackWriter::TObject> &Objects) {
        const std::vector<TPackWriter::TPlace> written = writer.write(Objects);
        for (std::size_t index = 0; index < Objects.size(); ++index)
            places.insert(Objects[index].path, written[index]);
    };
    for (const TDeltaWriter::TVersion &version : History)
        write(deltasByVersion.take(version.version));
    for (const std::vector<TPackWriter::TObject> &rest : qAsConst(deltasByVersion))
        write(rest);
    write(chunks);
    Report.packsNew = writer.packsWritten();
    Report.packBytesNew = writer.bytesWritten();
    return places;
}

} // namespace

TPackagePublisher::TPackagePublisher(TPublishOptions Options) : m_options(std::move(Options)) {}

void TPackagePublisher::validateOptions()
{
    TPublishOptions &options = m_options;
    if (options.version.trimmed().isEmpty())
        throw TPublishError(QStringLiteral("A package version is required (--version)"));
    static const QStringList generations = {QStringLiteral("first"), QStringLiteral("second")};
    if (!options.generation.isEmpty() && !generations.contains(options.generation))
        throw TPublishError(
            QStringLiteral("Unknown generation '%1': use first or second").arg(options.generation));
    static const QStringList variants = {QStringLiteral("regular"), QStringLiteral("preview"),
                                         QStringLiteral("beta"), QStringLiteral("test")};
    if (!options.variant.isEmpty() && !variants.contains(options.variant))
        throw TPublishError(
            QStringLiteral("Unknown variant '%1': use regular, preview, beta or test")
                .arg(options.variant));
    if (options.launcherPackage && options.codec != EChunkCodec::Lzma)
        throw TPublishError(QStringLiteral(
            "The launcher's own package is always compressed with LZMA: launchers that do not "
            "read zstd must still be able to update themselves"));
    const bool zstd = options.codec == EChunkCodec::Zstd;
    if (options.compressionLevel == TPublishOptions::DefaultLevel)
        options.compressionLevel =
            zstd ? TPublishOptions::DefaultZstdLevel : TPublishOptions::DefaultLzmaLevel;
    if (zstd && (options.compressionLevel < 1 || options.compressionLevel > 19))
        throw TPublishError(QStringLiteral("The zstd level must lie between 1 and 19"));
    if (!zstd && (options.compressionLevel < 0 || options.compressionLevel > 9))
        throw TPublishError(QStringLiteral("The LZMA level must lie between 0 and 9"));
    // Signed documents name their package, so the keys are checked before any work is done.
    if (!options.signingKeyFiles.isEmpty() && options.packageName.trimmed().isEmpty())
        throw TPublishError(
            QStringLiteral("Signed documents need the package's name (--package-name)"));
    (void)TReleaseSigner(options.signingKeyFiles);
    if (options.deltaVersions < 0 || options.deltaVersions > 100)
        throw TPublishError(
            QStringLiteral("The number of delta versions must lie between 0 and 100"));
    if (options.assetsDirectory.isEmpty() != options.assetsVersion.isEmpty())
        throw TPublishError(QStringLiteral(
            "Assets need both a directory (--assets) and a version (--assets-version)"));
    if (!options.assetsVersion.isEmpty()) {
        // The launcher reads a numeric asset version as a 32-bit integer.
        bool isNumber = false;
        const qlonglong number = options.assetsVersion.toLongLong(&isNumber);
        if (!isNumber || number < 0 || number > std::numeric_limits<int>::max())
            throw TPublishError(
                QStringLiteral("The asset version '%1' is not a number between 0 and 2147483647")
                    .arg(options.assetsVersion));
        options.assetsVersion = QString::number(number);
    }

    options.sourceDirectory =
        existingDirectory(options.sourceDirectory, QStringLiteral("source directory"));
    if (!options.assetsDirectory.isEmpty())
        options.assetsDirectory =
            existingDirectory(options.assetsDirectory, QStringLiteral("assets directory"));
    if (options.outputDirectory.isEmpty())
        throw TPublishError(QStringLiteral("An output directory is required (--out)"));
    const QString output = plannedPath(options.outputDirectory);
    const QString store = options.chunkStoreDirectory.isEmpty()
                              ? output + QStringLiteral("/chunks")
                              : plannedPath(options.chunkStoreDirectory);

    // A store inside the published tree would be published into itself on the next run. Checked
    // before anything is created: a refused run leaves the source as it was.
    for (const QString &written : {output, store}) {
        for (const QString &read : {options.sourceDirectory, options.assetsDirectory}) {
            if (!read.isEmpty() && (isSameOrInside(written, read) || isSameOrInside(read, written)))
                throw TPublishError(
                    QStringLiteral("The output '%1' and the input '%2' must not contain each other")
                        .arg(QDir::toNativeSeparators(written), QDir::toNativeSeparators(read)));
        }
    }
    options.outputDirectory = prepareWritableDirectory(output, QStringLiteral("output directory"));
    options.chunkStoreDirectory = prepareWritableDirectory(store, QStringLiteral("chunk store"));
}

TPublishReport TPackagePublisher::publish()
{
    QElapsedTimer clock;
    clock.start();
    validateOptions();
    const TPublishOptions &options = m_options;
    const TChunkStore store(options.chunkStoreDirectory);
    const QDir outputDirectory(options.outputDirectory);
    const std::vector<TDeltaWriter::TVersion> history = TDeltaWriter::loadHistory(
        options.outputDirectory, options.packageFileName, options.assetFileName);

    std::vector<TSourceFile> sources = listFiles(options.sourceDirectory, false);
    if (sources.empty())
        throw TPublishError(QStringLiteral("The source directory '%1' contains no files")
                                .arg(QDir::toNativeSeparators(options.sourceDirectory)));
    if (!options.executable.isEmpty()) {
        const QString executable = QDir::cleanPath(QDir::fromNativeSeparators(options.executable));
        const bool found =
            std::any_of(sources.begin(), sources.end(),
                        [&](const TSourceFile &File) { return File.localFile == executable; });
        if (!found)
            throw TPublishError(
                QStringLiteral("The executable '%1' is not a file of the source directory")
                    .arg(options.executable));
        m_options.executable = executable;
    }
    if (!options.assetsDirectory.isEmpty()) {
        const std::vector<TSourceFile> assets = listFiles(options.assetsDirectory, true);
        QSet<QString> packageFiles;
        for (const TSourceFile &file : sources)
            packageFiles.insert(file.localFile);
        for (const TSourceFile &file : assets) {
            // Both documents describe one installation directory: one name, one file.
            if (packageFiles.contains(file.localFile))
                throw TPublishError(
                    QStringLiteral("'%1' is both a package file and an asset").arg(file.localFile));
        }
        sources.insert(sources.end(), assets.begin(), assets.end());
    }

    TPublishReport report;
    report.caseCollisions = caseCollisions(sources);
    qint64 totalBytes = 0;
    for (const TSourceFile &file : sources)
        totalBytes += file.size;

    // Cutting and hashing.
    const TCounter chunked = std::make_shared<std::atomic<qint64>>(0);
    const std::vector<TChunkedFile> files = runOnPool(
        sources, [chunked](const TSourceFile &Source) { return chunkSourceFile(Source, chunked); },
        chunked, totalBytes, QStringLiteral("Chunking"), m_progressHandler);
    for (const TChunkedFile &file : files) {
        if (!file.error.isEmpty())
            throw TPublishError(file.error);
    }

    // Every distinct chunk once, at its first place.
    std::vector<TChunkJob> jobs;
    QSet<QByteArray> seen;
    qint64 chunkBytes = 0;
    for (const TChunkedFile &file : files) {
        for (const TPiece &piece : file.pieces) {
            if (seen.contains(piece.hash))
                continue;
            seen.insert(piece.hash);
            jobs.push_back({piece.hash, file.source.path, piece.offset, piece.length});
            chunkBytes += piece.length;
        }
    }

    // Compression and storing, chunks being independent of each other. Largest first, so that
    // no core is left compressing one big chunk alone at the end.
    std::stable_sort(jobs.begin(), jobs.end(), [](const TChunkJob &Left, const TChunkJob &Right) {
        return Left.length > Right.length;
    });
    const TCounter produced = std::make_shared<std::atomic<qint64>>(0);
    const TChunkStore::TCompression compression{
        options.codec == EChunkCodec::Zstd ? ::shared::BlobCodecZstd : ::shared::BlobCodecLzma,
        options.compressionLevel};
    const std::vector<TChunkOutcome> outcomes = runOnPool(
        jobs,
        [store, compression, produced](const TChunkJob &Job) {
            return produceChunk(store, compression, Job, produced);
        },
        produced, chunkBytes, QStringLiteral("Compressing"), m_progressHandler);
    QHash<QByteArray, TChunkOutcome> outcomeOf;
    for (const TChunkOutcome &outcome : outcomes) {
        if (!outcome.error.isEmpty())
            throw TPublishError(outcome.error);
        outcomeOf.insert(outcome.hash, outcome);
        if (outcome.stored.written) {
            ++report.chunksNew;
            report.bytesNew += outcome.stored.packedSize;
            report.unpackedBytesNew += outcome.unpackedSize;
            if (!outcome.stored.compressed && outcome.unpackedSize > 0)
                ++report.chunksStored;
        }
    }

    QElapsedTimer deltaClock;
    deltaClock.start();
    const TDeltasByChunk deltas =
        produceDeltas(files, outcomeOf, store, history, options, m_progressHandler, report);
    report.deltaMilliseconds = deltaClock.elapsed();
    const TPackPlaces places =
        packObjects(files, outcomeOf, deltas, store, history, options, report);

    // The documents must describe what was read; a file that changed meanwhile may have given
    // chunks of one state and a hash of another.
    for (const TChunkedFile &file : files) {
        const QFileInfo now(file.source.path);
        if (now.size() != file.size || now.lastModified() != file.source.modified ||
            file.size != file.source.size)
            throw TPublishError(QStringLiteral("File '%1' changed while it was being published")
                                    .arg(QDir::toNativeSeparators(file.source.path)));
    }

    std::vector<const TChunkedFile *> packageFiles;
    std::vector<const TChunkedFile *> assetFiles;
    for (const TChunkedFile &file : files)
        (file.source.asset ? assetFiles : packageFiles).push_back(&file);

    ::shared::TPackageDocument package;
    package.version = options.version;
    package.executable = m_options.executable;
    package.generation = options.generation;
    package.variant = options.variant;
    package.parameters = options.parameters;
    describeFiles(packageFiles, outcomeOf, outputDirectory, store, 0, deltas, places,
                  package.chunks, package.files);

    // The asset document first: the package document is what makes a new version visible.
    const TReleaseSigner signer(options.signingKeyFiles);
    const auto writeSigned = [&signer, &options](const QString &Path, const QJsonObject &Document,
                                                 TReleaseSigner::EDocumentKind Kind) {
        signer.write(Path, signer.document(Document, Path, Kind, options.packageName));
    };
    if (!options.assetsDirectory.isEmpty()) {
        ::shared::TAssetDocument assets;
        assets.version = options.assetsVersion;
        describeFiles(assetFiles, outcomeOf, outputDirectory, store, int(package.chunks.size()),
                      deltas, places, assets.chunks, assets.files);
        report.assetDocumentPath = outputDirectory.filePath(options.assetFileName);
        writeSigned(report.assetDocumentPath, ::shared::TDocumentWriter::toJson(assets),
                    TReleaseSigner::EDocumentKind::Assets);
    }
    report.packageDocumentPath = outputDirectory.filePath(options.packageFileName);
    writeSigned(report.packageDocumentPath, ::shared::TDocumentWriter::toJson(package),
                TReleaseSigner::EDocumentKind::Package);
    {
        // Recorded also when no deltas are made, so that a later run can make them.
        TDeltaWriter::TVersion published;
        published.version = QStringLiteral("P%1 A%2").arg(options.version, options.assetsVersion);
        for (const TChunkedFile &file : files) {
            std::vector<TDeltaWriter::TPiece> pieces;
            for (const TPiece &piece : file.pieces)
                pieces.push_back({piece.hash, piece.length});
            published.files.insert(file.source.localFile, pieces);
        }
        TDeltaWriter::saveHistory(
            TDeltaWriter::historyPath(options.outputDirectory, options.packageFileName), published,
            history, std::max(1, options.deltaVersions));
    }

    report.files = int(files.size());
    report.bytes = totalBytes;
    report.chunksTotal = int(jobs.size());
    report.compression = options.codec == EChunkCodec::Zstd
                             ? QStringLiteral("zstd level %1").arg(options.compressionLevel)
                             : QStringLiteral("LZMA preset %1").arg(options.compressionLevel);
    report.milliseconds = clock.elapsed();
    return report;
}

} // namespace vorna::publisher
