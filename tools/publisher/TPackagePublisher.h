#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace vorna::publisher {

// How the chunks of a package are compressed. Launchers decode LZMA since their first version
// and zstd since it was added; zstd decodes many times faster at a ratio close to LZMA's.
enum class EChunkCodec
{
    Zstd,
    Lzma
};

// What to publish and where.
struct TPublishOptions
{
    static constexpr int DefaultZstdLevel = 19;
    static constexpr int DefaultLzmaLevel = 6;
    static constexpr int DefaultLevel = -1; // the codec's default

    QString sourceDirectory;
    QString outputDirectory;
    QString version;
    QString executable; // relative to the source directory, "/"-separated; may be empty
    QStringList parameters;
    QString generation; // "first", "second" or empty
    QString variant;    // "regular", "preview", "beta", "test" or empty
    QString assetsDirectory;
    QString assetsVersion;       // a decimal number, required with assetsDirectory
    QString chunkStoreDirectory; // empty: "chunks" inside the output directory
    QString packageFileName = QStringLiteral("package.json");
    QString assetFileName = QStringLiteral("assets.json");
    EChunkCodec codec = EChunkCodec::Zstd;
    int compressionLevel = DefaultLevel; // zstd 1 to 19, LZMA preset 0 to 9
    // The launcher's own package: always LZMA, so that a launcher from before zstd can still
    // update itself (and then read zstd chunks).
    bool launcherPackage = false;
    QStringList signingKeyFiles; // empty: the documents are written unsigned
    QString packageName;         // the package the signed documents are bound to
    // Deltas are made against this many earlier versions published into the output directory;
    // 0 makes none.
    int deltaVersions = 3;
    int deltaLevel = 9; // zstd level of the deltas
};

// The figures of one run.
struct TPublishReport
{
    int files = 0;
    qint64 bytes = 0;
    int chunksTotal = 0; // distinct chunks the documents reference
    int chunksNew = 0;   // chunk files this run added to the store
    qint64 bytesNew = 0; // stored size of the new chunk files: what an update downloads
    qint64 unpackedBytesNew = 0;
    int chunksStored = 0;     // chunks kept uncompressed because compression saved too little
    int deltasTotal = 0;      // deltas the documents offer
    int deltasNew = 0;        // delta files this run added to the store
    qint64 deltaBytesNew = 0; // their size
    int packsNew = 0;         // pack files this run added to the store
    qint64 packBytesNew = 0;  // their size
    qint64 milliseconds = 0;
    qint64 deltaMilliseconds = 0; // of milliseconds, spent making or finding deltas
    QString compression;          // codec and level of the new chunks, as the report shows them
    QString packageDocumentPath;
    QString assetDocumentPath; // empty without assets
    // Pairs of names that collide where letter case is ignored; the package cannot install there.
    QStringList caseCollisions;
};

// Publishes a directory of files (and optionally a directory of assets) as a package document
// and an asset document whose chunks lie in a content-addressed chunk store. Files are cut with
// the launcher's own content-defined chunker, so an installed older version reuses every chunk
// whose content did not change. Chunking and compression run on the global thread pool; the
// documents are written last, each atomically, so a document never names a missing chunk.
class TPackagePublisher final
{
public:
    // Stage name, work done, work total (bytes); called on the thread that runs publish().
    using TProgressHandler = std::function<void(const QString &, qint64, qint64)>;

    explicit TPackagePublisher(TPublishOptions Options);

    void setProgressHandler(TProgressHandler Handler) { m_progressHandler = std::move(Handler); }

    // Throws TPublishError with a message for the studio on bad input or a failed write. Needs a
    // QCoreApplication (progress is reported from a local event loop).
    TPublishReport publish();

private:
    void validateOptions();

    TPublishOptions m_options;
    TProgressHandler m_progressHandler;
};

} // namespace vorna::publisher
