#include "TPackagePublisher.h"

#include "ChunkProduction.h"
#include "PublishedDocuments.h"
#include "RunOnPool.h"
#include "SourceFiles.h"
#include "TChunkStore.h"
#include "TDecodedChunkCache.h"
#include "TDeltaWriter.h"
#include "TPackWriter.h"
#include "TPublishError.h"
#include "TReleaseSigner.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <vector>

namespace vorna::publisher {

namespace {

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
        if (outcome.failure)
            std::rethrow_exception(outcome.failure);
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

// The files of the source directory and of the assets directory, checked against the options;
// the executable's name comes back in the form the documents give it.
std::vector<TSourceFile> listSources(TPublishOptions &Options)
{
    std::vector<TSourceFile> sources = listFiles(Options.sourceDirectory, false);
    if (sources.empty())
        throw TPublishError(::shared::EErrorCode::InvalidInput, Options.sourceDirectory,
                            QStringLiteral("The source directory '%1' contains no files")
                                .arg(QDir::toNativeSeparators(Options.sourceDirectory)));
    if (!Options.executable.isEmpty()) {
        const QString executable = QDir::cleanPath(QDir::fromNativeSeparators(Options.executable));
        const bool found =
            std::any_of(sources.begin(), sources.end(),
                        [&](const TSourceFile &File) { return File.localFile == executable; });
        if (!found)
            throw TPublishError(
                ::shared::EErrorCode::InvalidInput, {},
                QStringLiteral("The executable '%1' is not a file of the source directory")
                    .arg(Options.executable));
        Options.executable = executable;
    }
    if (!Options.assetsDirectory.isEmpty()) {
        const std::vector<TSourceFile> assets = listFiles(Options.assetsDirectory, true);
        QSet<QString> packageFiles;
        for (const TSourceFile &file : sources)
            packageFiles.insert(file.localFile);
        for (const TSourceFile &file : assets) {
            // Both documents describe one installation directory: one name, one file.
            if (packageFiles.contains(file.localFile))
                throw TPublishError(
                    ::shared::EErrorCode::InvalidInput, {},
                    QStringLiteral("'%1' is both a package file and an asset").arg(file.localFile));
        }
        sources.insert(sources.end(), assets.begin(), assets.end());
    }
    return sources;
}

// Cutting and hashing, on the pool.
std::vector<TChunkedFile> chunkSources(const std::vector<TSourceFile> &Sources, qint64 TotalBytes,
                                       const TPackagePublisher::TProgressHandler &Progress)
{
    const TCounter chunked = std::make_shared<std::atomic<qint64>>(0);
    const std::vector<TChunkedFile> files = runOnPool(
        Sources, [chunked](const TSourceFile &Source) { return chunkSourceFile(Source, chunked); },
        chunked, TotalBytes, QStringLiteral("Chunking"), Progress);
    for (const TChunkedFile &file : files) {
        if (file.failure)
            std::rethrow_exception(file.failure);
    }
    return files;
}

// Compression and storing of every distinct chunk once, at its first place, on the pool.
QHash<QByteArray, TChunkOutcome> storeChunks(const std::vector<TChunkedFile> &Files,
                                             const TChunkStore &Store,
                                             const TPublishOptions &Options,
                                             const TPackagePublisher::TProgressHandler &Progress,
                                             TPublishReport &Report)
{
    std::vector<TChunkJob> jobs;
    QSet<QByteArray> seen;
    qint64 chunkBytes = 0;
    for (const TChunkedFile &file : Files) {
        for (const TPiece &piece : file.pieces) {
            if (seen.contains(piece.hash))
                continue;
            seen.insert(piece.hash);
            jobs.push_back({piece.hash, file.source.path, piece.offset, piece.length});
            chunkBytes += piece.length;
        }
    }
    Report.chunksTotal = int(jobs.size());

    // Chunks are independent of each other. Largest first, so that no core is left compressing
    // one big chunk alone at the end.
    std::stable_sort(jobs.begin(), jobs.end(), [](const TChunkJob &Left, const TChunkJob &Right) {
        return Left.length > Right.length;
    });
    const TCounter produced = std::make_shared<std::atomic<qint64>>(0);
    const TChunkStore::TCompression compression{
        Options.codec == EChunkCodec::Zstd ? ::shared::BlobCodecZstd : ::shared::BlobCodecLzma,
        Options.compressionLevel};
    const std::vector<TChunkOutcome> outcomes = runOnPool(
        jobs,
        [Store, compression, produced](const TChunkJob &Job) {
            return produceChunk(Store, compression, Job, produced);
        },
        produced, chunkBytes, QStringLiteral("Compressing"), Progress);
    QHash<QByteArray, TChunkOutcome> outcomeOf;
    for (const TChunkOutcome &outcome : outcomes) {
        if (outcome.failure)
            std::rethrow_exception(outcome.failure);
        outcomeOf.insert(outcome.hash, outcome);
        if (outcome.stored.written) {
            ++Report.chunksNew;
            Report.bytesNew += outcome.stored.packedSize;
            Report.unpackedBytesNew += outcome.unpackedSize;
            if (!outcome.stored.compressed && outcome.unpackedSize > 0)
                ++Report.chunksStored;
        }
    }
    return outcomeOf;
}

// The documents must describe what was read; a file that changed meanwhile may have given chunks
// of one state and a hash of another.
void checkUnchanged(const std::vector<TChunkedFile> &Files)
{
    for (const TChunkedFile &file : Files) {
        const QFileInfo now(file.source.path);
        if (now.size() != file.size || now.lastModified() != file.source.modified ||
            file.size != file.source.size)
            throw TPublishError(::shared::EErrorCode::SourceChanged, file.source.path,
                                QStringLiteral("File '%1' changed while it was being published")
                                    .arg(QDir::toNativeSeparators(file.source.path)));
    }
}

// Recorded also when no deltas are made, so that a later run can make them.
void recordVersion(const std::vector<TChunkedFile> &Files,
                   const std::vector<TDeltaWriter::TVersion> &History,
                   const TPublishOptions &Options)
{
    TDeltaWriter::TVersion published;
    published.version = QStringLiteral("P%1 A%2").arg(Options.version, Options.assetsVersion);
    for (const TChunkedFile &file : Files) {
        std::vector<TDeltaWriter::TPiece> pieces;
        for (const TPiece &piece : file.pieces)
            pieces.push_back({piece.hash, piece.length});
        published.files.insert(file.source.localFile, pieces);
    }
    TDeltaWriter::saveHistory(
        TDeltaWriter::historyPath(Options.outputDirectory, Options.packageFileName), published,
        History, std::max(1, Options.deltaVersions));
}

} // namespace

TPackagePublisher::TPackagePublisher(TPublishOptions Options) : m_options(std::move(Options)) {}

void TPackagePublisher::validateOptions()
{
    TPublishOptions &options = m_options;
    if (options.version.trimmed().isEmpty())
        throw TPublishError(::shared::EErrorCode::InvalidOption, {},
                            QStringLiteral("A package version is required (--version)"));
    static const QStringList generations = {QStringLiteral("first"), QStringLiteral("second")};
    if (!options.generation.isEmpty() && !generations.contains(options.generation))
        throw TPublishError(
            ::shared::EErrorCode::InvalidOption, {},
            QStringLiteral("Unknown generation '%1': use first or second").arg(options.generation));
    static const QStringList variants = {QStringLiteral("regular"), QStringLiteral("preview"),
                                         QStringLiteral("beta"), QStringLiteral("test")};
    if (!options.variant.isEmpty() && !variants.contains(options.variant))
        throw TPublishError(
            ::shared::EErrorCode::InvalidOption, {},
            QStringLiteral("Unknown variant '%1': use regular, preview, beta or test")
                .arg(options.variant));
    if (options.launcherPackage && options.codec != EChunkCodec::Lzma)
        throw TPublishError(
            ::shared::EErrorCode::InvalidOption, {},
            QStringLiteral(
                "The launcher's own package is always compressed with LZMA: launchers that do not "
                "read zstd must still be able to update themselves"));
    const bool zstd = options.codec == EChunkCodec::Zstd;
    if (options.compressionLevel == TPublishOptions::DefaultLevel)
        options.compressionLevel =
            zstd ? TPublishOptions::DefaultZstdLevel : TPublishOptions::DefaultLzmaLevel;
    if (zstd && (options.compressionLevel < 1 || options.compressionLevel > 19))
        throw TPublishError(::shared::EErrorCode::InvalidOption, {},
                            QStringLiteral("The zstd level must lie between 1 and 19"));
    if (!zstd && (options.compressionLevel < 0 || options.compressionLevel > 9))
        throw TPublishError(::shared::EErrorCode::InvalidOption, {},
                            QStringLiteral("The LZMA level must lie between 0 and 9"));
    // Signed documents name their package, so the keys are checked before any work is done.
    if (!options.signingKeyFiles.isEmpty() && options.packageName.trimmed().isEmpty())
        throw TPublishError(
            ::shared::EErrorCode::InvalidOption, {},
            QStringLiteral("Signed documents need the package's name (--package-name)"));
    (void)TReleaseSigner(options.signingKeyFiles);
    if (options.deltaVersions < 0 || options.deltaVersions > 100)
        throw TPublishError(
            ::shared::EErrorCode::InvalidOption, {},
            QStringLiteral("The number of delta versions must lie between 0 and 100"));
    if (options.assetsDirectory.isEmpty() != options.assetsVersion.isEmpty())
        throw TPublishError(
            ::shared::EErrorCode::InvalidOption, {},
            QStringLiteral(
                "Assets need both a directory (--assets) and a version (--assets-version)"));
    if (!options.assetsVersion.isEmpty()) {
        // The launcher reads a numeric asset version as a 32-bit integer.
        bool isNumber = false;
        const qlonglong number = options.assetsVersion.toLongLong(&isNumber);
        if (!isNumber || number < 0 || number > std::numeric_limits<int>::max())
            throw TPublishError(
                ::shared::EErrorCode::InvalidOption, {},
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
        throw TPublishError(::shared::EErrorCode::InvalidOption, {},
                            QStringLiteral("An output directory is required (--out)"));
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
                    ::shared::EErrorCode::InvalidOption, {},
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
    const std::vector<TDeltaWriter::TVersion> history = TDeltaWriter::loadHistory(
        options.outputDirectory, options.packageFileName, options.assetFileName);

    const std::vector<TSourceFile> sources = listSources(m_options);
    TPublishReport report;
    report.caseCollisions = caseCollisions(sources);
    qint64 totalBytes = 0;
    for (const TSourceFile &file : sources)
        totalBytes += file.size;

    const std::vector<TChunkedFile> files = chunkSources(sources, totalBytes, m_progressHandler);
    const QHash<QByteArray, TChunkOutcome> outcomes =
        storeChunks(files, store, options, m_progressHandler, report);
    QElapsedTimer deltaClock;
    deltaClock.start();
    const TDeltasByChunk deltas =
        produceDeltas(files, outcomes, store, history, options, m_progressHandler, report);
    report.deltaMilliseconds = deltaClock.elapsed();
    const TPackPlaces places =
        packObjects(files, outcomes, deltas, store, history, options, report);

    checkUnchanged(files);
    writeDocuments(files, outcomes, store, deltas, places, options, report);
    recordVersion(files, history, options);

    report.files = int(files.size());
    report.bytes = totalBytes;
    report.compression = options.codec == EChunkCodec::Zstd
                             ? QStringLiteral("zstd level %1").arg(options.compressionLevel)
                             : QStringLiteral("LZMA preset %1").arg(options.compressionLevel);
    report.milliseconds = clock.elapsed();
    return report;
}

} // namespace vorna::publisher
