#pragma once

#include "ChunkProcessing.h"
#include "EPackageDownloaderError.h"
#include "PackRanges.h"
#include "TChunkToDownload.h"
#include "TPendingChunkCache.h"
#include "TRunningStatistics.h"
#include "packages/EInstallationMode.h"
#include "packages/TPackageDifference.h"

#include <QDir>
#include <QHash>
#include <QMap>
#include <QNetworkReply>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <set>
#include <vector>

template <typename T> class QFutureWatcher;

namespace shared {
class TDownloadPool;
}

namespace vorna::launcher {

class TLauncherFilesystemHelper;

// Turns the files an installation still needs into chunk downloads on the installation's pool,
// pushes every chunk through decompression, the hash check and saving in one task on the global
// thread pool, samples progress every 100 ms and reports the end once: downloadCompleted() or
// downloadFailed(). Each chunk URL is fetched once however many places need its content.
// Chunks and deltas that the documents also place in pack files are fetched in batches: the
// neighbouring ones of a pack with one Range request, split up again on arrival. A range that
// does not come as asked is fetched object by object from the objects' own addresses.
//
// Usage: setTargetDirectory(), setInstallationMode(), prepare(), start(), then wait for one of
// the two final signals. Lives on the main thread; destroying it waits for running stages.
class TPackageFileDownloader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TPackageFileDownloader)

public:
    TPackageFileDownloader(std::shared_ptr<::shared::TDownloadPool> Pool,
                           std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper);
    ~TPackageFileDownloader() override;

    void setTargetDirectory(const QDir &Directory) { m_targetDirectory = Directory; }
    const QDir &targetDirectory() const { return m_targetDirectory; }
    void setInstallationMode(EInstallationMode Mode) { m_installationMode = Mode; }
    EInstallationMode installationMode() const { return m_installationMode; }

    // Builds the chunk list: one entry per URL, ordered so that chunks near the start of files
    // come first. Called once.
    void prepare(const std::vector<TFileToDownload> &Files);
    // Enqueues every chunk. With no chunk nothing is enqueued and no final signal follows.
    void start();

    // Bytes downloaded per 100 ms tick; the tile shows mean x 10 as bytes per second.
    const TRunningStatistics &downloadStatistics() const { return m_downloadStatistics; }
    const TRunningStatistics &writeStatistics() const { return m_writeStatistics; }
    const std::vector<TChunkToDownload> &allChunks() const { return m_allChunks; }
    // Content held for places that cannot be written yet (tests and diagnostics).
    const TPendingChunkCache &pendingChunks() const { return *m_pendingChunks; }

    // What the run fetched: deltas and whole chunks, and deltas that fell back to their chunk.
    struct TTransferSummary
    {
        qint64 deltaBytes = 0;
        int deltas = 0;
        qint64 chunkBytes = 0;
        int chunks = 0;
        int fallbacks = 0;
        int ranges = 0;         // range requests that delivered their objects
        int rangeFallbacks = 0; // range requests whose objects were fetched one by one
    };
    const TTransferSummary &transferSummary() const { return m_transferSummary; }

    // A delta only saves bytes: a delta request that has not finished within this time, plus one
    // second per 64 KiB of the delta, is given up and its chunk fetched instead.
    static constexpr int DefaultDeltaDeadline = 10000;
    void setDeltaDeadline(int Milliseconds) { m_deltaDeadline = Milliseconds; }
    // The most chunk contents that stages held at once: each running stage holds one, and each
    // keeps its chunk's download slot, so the pool's limit bounds it (diagnostics and tests).
    int peakRunningStages() const { return m_peakRunningStages; }

    // A range request spans at most this many bytes, and skips at most this many bytes between
    // two objects it carries. The first bounds the memory a request holds until its objects are
    // saved (a request keeps its download slot until then), the second the bytes fetched for
    // nothing.
    static constexpr quint64 DefaultMaxRangeRequestSize = quint64(4) << 20;
    static constexpr quint64 DefaultMaxRangeGap = quint64(64) << 10;
    void setRangeLimits(quint64 MaxRequestSize, quint64 MaxGap)
    {
        m_maxRangeRequestSize = MaxRequestSize;
        m_maxRangeGap = MaxGap;
    }

signals:
    void downloadCompleted();
    // Emitted from worker threads after a chunk's content has been written to one place.
    void writeProgress(QUrl Url, TFileSize DownloadedBytes);
    void progress(TFileSize BytesDownloaded, TFileSize BytesTotalToDownload, TFileSize BytesWritten,
                  TFileSize BytesTotalToWrite);
    void downloadFailed(EPackageDownloaderError ErrorReason);

private slots:
    void onDownloadCompleted(QUrl Url, QByteArray Data);
    void onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);
    void onDownloadProgress(QUrl Url, TFileSize DownloadedBytes);
    void onWriteProgress(QUrl Url, TFileSize DownloadedBytes);
    void onProgressTick();

private:
    using TStageWatcher = QFutureWatcher<TChunkStageResult>;

    // An object fetched by its own address; lower priorities are needed first.
    struct TSingleRequest
    {
        int priority = 0;
        QUrl url;
    };

    void resetRunState();
    std::vector<TPackRange> planRequests(std::vector<TSingleRequest> &Single);
    void issueRequests(const std::vector<TSingleRequest> &Single,
                       const std::vector<TPackRange> &Ranges);

    void processDownloadedData(const QUrl &Url, const QByteArray &Data);
    // Runs the whole way of one object (decompress, verify, save; or apply a delta, save) as one
    // task; its outcome comes back to onObjectProcessed().
    void runPipeline(const TChunkToDownload &Chunk, const QByteArray &Data, bool IsDelta);
    void onObjectProcessed(const QUrl &Url, bool IsDelta, const TChunkStageResult &Result);
    void onVerifyFailed(const QUrl &Url);
    void onDeltaDownloaded(const QUrl &DeltaUrl, const QByteArray &Data);
    void onRangeDownloaded(const QUrl &Key, const QByteArray &Data);
    // Hands over the objects of a range that lie wholly in the bytes received so far, in their
    // order, each once; Complete: the range is in, every object left is handed over.
    void handOverRangeObjects(const QUrl &Key, const QByteArray &Received, bool Complete);
    void onRangeFailed(const QUrl &Key, const QString &Reason);
    // Enqueues a chunk or a planned delta by its own address.
    void fetchAlone(const QUrl &Url);
    // Frees the download slot of an object: its own, or once the last object of a range request
    // is done, the range's.
    void releaseObject(const QUrl &Url);
    // Gives up the delta of a chunk and fetches the chunk itself.
    void fallBackToChunk(const QUrl &DeltaUrl, const QString &Reason);
    void dropChunk(const QUrl &Url);
    // Frees the download slot of a chunk, or of the delta it was built from.
    void releaseSlotOf(const QUrl &Url);
    int deltaDeadline(quint64 Size) const;
    void processFinishedData(const QUrl &Url);
    void emitFinishedSignalWhenNoMoreFilesAreOutstanding();
    bool everyFileIsComplete() const;
    void emitProgress();
    TChunkSaveContext saveContext();

    std::shared_ptr<::shared::TDownloadPool> m_pool;
    std::shared_ptr<TLauncherFilesystemHelper> m_filesystemHelper;
    QDir m_targetDirectory;
    EInstallationMode m_installationMode = EInstallationMode::Normal;
    bool m_atLeastOneDownloadFailed = false;
    bool m_atLeastOneSavingOperationFailed = false;
    std::vector<TChunkToDownload> m_allChunks;
    // Chunks from start until saved or failed for good, by URL.
    QMap<QUrl, TChunkToDownload> m_chunksInProgress;
    // URLs whose first write has not been counted yet.
    QSet<QUrl> m_chunksToWrite;
    QMap<QUrl, TFileSize> m_downloadedBytesByUrl;
    QMap<QUrl, TFileSize> m_writtenBytesByUrl;
    QTimer m_progressTimer;
    TFileSize m_lastDownloadedTotal = 0;
    TFileSize m_lastWrittenTotal = 0;
    TFileSize m_totalToDownload = 0;
    TFileSize m_totalToWrite = 0;
    TRunningStatistics m_downloadStatistics;
    TRunningStatistics m_writeStatistics;
    std::shared_ptr<TPendingChunkCache> m_pendingChunks;
    // Stages running on the global pool; the destructor waits for them.
    std::set<TStageWatcher *> m_runningStages;
    bool m_finished = false;
    // Delta URLs being fetched, with the URL of the chunk each one builds, and the other way.
    QMap<QUrl, QUrl> m_chunkUrlOfDelta;
    QMap<QUrl, QUrl> m_deltaUrlOfChunk;
    int m_deltaDeadline = DefaultDeltaDeadline;
    int m_peakRunningStages = 0;
    // Range requests by the address the pool reports them under; each keeps its slot until its
    // last object is done.
    QMap<QUrl, TPackRange> m_packRanges;
    QHash<QUrl, QUrl> m_rangeOfObject;
    QHash<QUrl, int> m_objectsLeftInRange;
    // How many leading objects of each range went to their pipelines, as their bytes came in.
    QHash<QUrl, int> m_objectsHandedOver;
    quint64 m_maxRangeRequestSize = DefaultMaxRangeRequestSize;
    quint64 m_maxRangeGap = DefaultMaxRangeGap;
    TTransferSummary m_transferSummary;
};

} // namespace vorna::launcher
