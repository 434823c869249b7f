#include "TPackageFileDownloader.h"

#include "configuration/TLauncherFilesystemHelper.h"
#include "packages/TDeltaBaseStaging.h"
#include "shared/BlobContainer.h"
#include "shared/TDownloadPool.h"

#include <QDebug>
#include <QFutureInterface>
#include <QFutureWatcher>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <limits>

namespace vorna::launcher {

namespace {

constexpr int ProgressTickMilliseconds = 100;
constexpr int MaximumRetries = 3;
constexpr quint64 StatisticsWindow = 30;

void registerDownloaderMetaTypes()
{
    static const bool Registered = [] {
        qRegisterMetaType<TFileSize>("TFileSize");
        qRegisterMetaType<EPackageDownloaderError>("EPackageDownloaderError");
        qRegisterMetaType<QNetworkReply::NetworkError>("QNetworkReply::NetworkError");
        return true;
    }();
    Q_UNUSED(Registered)
}

TFileSize saturatedSize(quint64 Size)
{
    return TFileSize(std::min<quint64>(Size, quint64(std::numeric_limits<TFileSize>::max())));
}

// Totals of document sizes stop at the largest size instead of overflowing.
void addSaturated(TFileSize &Total, quint64 Size)
{
    const TFileSize room = std::numeric_limits<TFileSize>::max() - Total;
    Total += std::min(saturatedSize(Size), room);
}

// The server stores exactly packedSize bytes for a chunk; a longer reply is cut off and costs a
// try. A document that gives no size leaves the pool's default bound in force.
qint64 maxReplySizeOf(quint64 PackedSize)
{
    return PackedSize <= quint64(std::numeric_limits<qint64>::max()) ? qint64(PackedSize) : 0;
}

// A chunk's packedsize only fed the progress totals once, and documents with a value slightly
// off installed: its reply may be as long as either size plus a container header, so that only a
// reply that cannot be the chunk costs a try. The hash check catches wrong content either way.
qint64 maxReplySizeOf(const TChunkToDownload &Chunk)
{
    const quint64 Largest = std::max(Chunk.packedSize, Chunk.unpackedSize);
    const auto Slack = quint64(::shared::BlobContainerMaxHeaderSize);
    if (Largest == 0 || Largest > quint64(std::numeric_limits<qint64>::max()) - Slack)
        return 0;
    return qint64(Largest + Slack);
}

} // namespace

TPackageFileDownloader::TPackageFileDownloader(
    std::shared_ptr<::shared::TDownloadPool> Pool,
    std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper)
    : m_pool(std::move(Pool)), m_filesystemHelper(std::move(FilesystemHelper)),
      m_pendingChunks(
          std::make_shared<TPendingChunkCache>(m_filesystemHelper->settings()->maxCachedChunks))
{
    registerDownloaderMetaTypes();
    m_progressTimer.setInterval(ProgressTickMilliseconds);
    connect(m_pool.get(), &::shared::TDownloadPool::success, this,
            &TPackageFileDownloader::onDownloadCompleted);
    connect(m_pool.get(), &::shared::TDownloadPool::failed, this,
            &TPackageFileDownloader::onDownloadFailed);
    connect(m_pool.get(), &::shared::TDownloadPool::progress, this,
            &TPackageFileDownloader::onDownloadProgress);
    connect(this, &TPackageFileDownloader::writeProgress, this,
            &TPackageFileDownloader::onWriteProgress, Qt::QueuedConnection);
    connect(&m_progressTimer, &QTimer::timeout, this, &TPackageFileDownloader::onProgressTick);
}

TPackageFileDownloader::~TPackageFileDownloader()
{
    // Stages hold this object for their write progress and share its file states; let them end.
    for (TStageWatcher *Watcher : m_runningStages)
        Watcher->waitForFinished();
}

void TPackageFileDownloader::prepare(const std::vector<TFileToDownload> &Files)
{
    m_pendingChunks = std::make_shared<TPendingChunkCache>(m_pendingChunks->maxCachedChunks());
    m_allChunks =
        buildChunksToDownload(Files, m_targetDirectory, *m_filesystemHelper, *m_pendingChunks);
    m_totalToDownload = 0;
    m_totalToWrite = 0;
    for (const TChunkToDownload &Chunk : m_allChunks) {
        // Progress counts what is actually fetched: the delta where one is planned.
        addSaturated(m_totalToDownload,
                     Chunk.plannedDelta ? Chunk.plannedDelta->delta.packedSize : Chunk.packedSize);
        addSaturated(m_totalToWrite, Chunk.unpackedSize);
    }
}

void TPackageFileDownloader::start()
{
    qInfo() << "start download of " << m_allChunks.size()
            << " files Thread: " << QThread::currentThreadId();
    m_chunksInProgress.clear();
    m_chunksToWrite.clear();
    for (const TChunkToDownload &Chunk : m_allChunks) {
        m_chunksInProgress.insert(Chunk.url, Chunk);
        m_chunksToWrite.insert(Chunk.url);
    }
    m_atLeastOneDownloadFailed = false;
    m_atLeastOneSavingOperationFailed = false;
    m_finished = false;
    m_downloadedBytesByUrl.clear();
    m_writtenBytesByUrl.clear();
    m_progressTimer.start();
    m_lastDownloadedTotal = 0;
    m_lastWrittenTotal = 0;
    m_downloadStatistics.reset();
    m_writeStatistics.reset();
    m_chunkUrlOfDelta.clear();
    m_deltaUrlOfChunk.clear();
    m_transferSummary = {};
    m_peakRunningStages = 0;
    for (const TChunkToDownload &Chunk : m_allChunks) {
        if (Chunk.plannedDelta) {
            const QUrl &DeltaUrl = Chunk.plannedDelta->delta.url;
            // A delta URL must stand for exactly one chunk and be none of the chunks.
            if (!m_chunkUrlOfDelta.contains(DeltaUrl) && !m_chunksInProgress.contains(DeltaUrl)) {
                enqueueDelta(Chunk);
                continue;
            }
            m_chunksInProgress[Chunk.url].plannedDelta.reset();
            addSaturated(m_totalToDownload, Chunk.packedSize);
        }
        qInfo() << "start download of " << Chunk.url.toString()
                << " Thread: " << QThread::currentThreadId();
        m_pool->enqueueWithMaxReplySize(Chunk.url, maxReplySizeOf(Chunk));
    }
}

void TPackageFileDownloader::enqueueDelta(const TChunkToDownload &Chunk)
{
    const TChunkDelta &Delta = Chunk.plannedDelta->delta;
    m_chunkUrlOfDelta.insert(Delta.url, Chunk.url);
    m_deltaUrlOfChunk.insert(Chunk.url, Delta.url);
    qInfo() << "start download of " << Delta.url.toString()
            << " Thread: " << QThread::currentThreadId();
    constexpr quint64 BytesPerSecond = 64 * 1024;
    const quint64 Deadline = quint64(std::max(0, m_deltaDeadline)) +
                             std::min<quint64>(Delta.packedSize / BytesPerSecond, 3600) * 1000;
    m_pool->enqueueWithMaxReplySize(Delta.url, maxReplySizeOf(Delta.packedSize), int(Deadline));
}

void TPackageFileDownloader::onDownloadProgress(QUrl Url, TFileSize DownloadedBytes)
{
    if (m_chunksInProgress.contains(Url) || m_chunkUrlOfDelta.contains(Url))
        m_downloadedBytesByUrl.insert(Url, DownloadedBytes);
}

void TPackageFileDownloader::onDownloadCompleted(QUrl Url, QByteArray Data)
{
    qInfo() << "onDownloadCompleted " << Url.toString()
            << " Thread: " << QThread::currentThreadId();
    if (m_chunkUrlOfDelta.contains(Url)) {
        onDeltaDownloaded(Url, Data);
        return;
    }
    if (m_chunksInProgress.contains(Url)) {
        m_transferSummary.chunkBytes += Data.size();
        ++m_transferSummary.chunks;
    }
    processDownloadedData(Url, Data, false, false);
}

void TPackageFileDownloader::onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code,
                                              QString ErrorString)
{
    Q_UNUSED(Code)
    qInfo() << "onDownloadFailed " << Url.toString() << " Thread: " << QThread::currentThreadId();
    m_pool->release(Url);
    if (m_chunkUrlOfDelta.contains(Url)) {
        fallBackToChunk(Url, ErrorString);
        return;
    }
    const auto Found = m_chunksInProgress.find(Url);
    if (Found == m_chunksInProgress.end())
        return;
    if (Found->retryCount >= MaximumRetries) {
        qCritical() << "Download of " << Url.toString() << "failed:" << ErrorString;
        m_chunksInProgress.erase(Found);
        m_atLeastOneDownloadFailed = true;
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
        return;
    }
    qInfo() << "Retry " << Url.toString() << " Thread: " << QThread::currentThreadId();
    ++Found->retryCount;
    m_pool->enqueueWithMaxReplySize(Url, maxReplySizeOf(*Found));
}

void TPackageFileDownloader::onWriteProgress(QUrl Url, TFileSize DownloadedBytes)
{
    if (m_chunksToWrite.remove(Url))
        m_writtenBytesByUrl.insert(Url, DownloadedBytes);
}

void TPackageFileDownloader::onProgressTick()
{
    TFileSize Downloaded = 0;
    for (const TFileSize Bytes : qAsConst(m_downloadedBytesByUrl))
        Downloaded += Bytes;
    m_downloadStatistics.add(quint64(std::max<TFileSize>(0, Downloaded - m_lastDownloadedTotal)));
    m_lastDownloadedTotal = Downloaded;
    if (m_downloadStatistics.count > StatisticsWindow)
        m_downloadStatistics.collapse();

    TFileSize Written = 0;
    for (const TFileSize Bytes : qAsConst(m_writtenBytesByUrl))
        Written += Bytes;
    m_writeStatistics.add(quint64(std::max<TFileSize>(0, Written - m_lastWrittenTotal)));
    m_lastWrittenTotal = Written;
    if (m_writeStatistics.count > StatisticsWindow)
        m_writeStatistics.collapse();

    emit progress(Downloaded, m_totalToDownload, Written, m_totalToWrite);
}

void TPackageFileDownloader::emitProgress()
{
    TFileSize Downloaded = 0;
    for (const TFileSize Bytes : qAsConst(m_downloadedBytesByUrl))
        Downloaded += Bytes;
    TFileSize Written = 0;
    for (const TFileSize Bytes : qAsConst(m_writtenBytesByUrl))
        Written += Bytes;
    emit progress(Downloaded, m_totalToDownload, Written, m_totalToWrite);
}

TChunkSaveContext TPackageFileDownloader::saveContext()
{
    TChunkSaveContext Context;
    Context.filesystemHelper = m_filesystemHelper;
    Context.pendingChunks = m_pendingChunks;
    Context.targetDirectory = m_targetDirectory.absolutePath();
    Context.installationMode = m_installationMode;
    Context.chunkVerification = m_filesystemHelper->settings()->chunkVerification;
    // Emitting from the worker is safe: the destructor waits for every running stage.
    Context.writeProgress = [this](const QUrl &Url, qint64 Bytes) {
        emit writeProgress(Url, Bytes);
    };
    return Context;
}

void TPackageFileDownloader::processDownloadedData(const QUrl &Url, const QByteArray &Data,
                                                   bool Decompressed, bool Verified)
{
    const auto Found = m_chunksInProgress.constFind(Url);
    if (Found == m_chunksInProgress.constEnd()) {
        m_pool->release(Url);
        return;
    }
    const TChunkToDownload &Chunk = *Found;
    if (Verified && (Decompressed || !Chunk.unpack)) {
        qInfo() << "processDownloadedData save " << Url.toString()
                << " Thread: " << QThread::currentThreadId();
        runStage(EStage::Save, Chunk, Data);
    } else if (Decompressed || !Chunk.unpack) {
        qInfo() << "processDownloadedData verify " << Url.toString()
                << " Thread: " << QThread::currentThreadId();
        runStage(EStage::Verify, Chunk, Data);
    } else {
        qInfo() << "processDownloadedData decompress " << Url.toString()
                << " Thread: " << QThread::currentThreadId();
        runStage(EStage::Decompress, Chunk, Data);
    }
}

void TPackageFileDownloader::runStage(EStage Stage, const TChunkToDownload &Chunk,
                                      const QByteArray &Data)
{
    std::function<TChunkStageResult()> Body;
    switch (Stage) {
    case EStage::Decompress:
        Body = [Chunk, Data] { return decompressDownloadedData(Chunk, Data); };
        break;
    case EStage::Verify:
        Body = [Chunk, Data] { return verifyDownloadedData(Chunk, Data); };
        break;
    case EStage::Save:
        Body = [Context = saveContext(), Chunk, Data] {
            return saveDownloadedData(Context, Chunk, Data);
        };
        break;
    case EStage::ApplyDelta:
        Body = [Chunk, Data] { return applyDownloadedDelta(Chunk, Data); };
        break;
    }
    // Later stages go first: a saved chunk frees its download slot, so the next chunk can be
    // fetched while earlier ones are still being decompressed, and both cores keep decoding.
    // Queued strictly in arrival order, the verifications and saves of a whole batch would wait
    // behind its decompressions, and the network would idle meanwhile.
    auto Interface = std::make_shared<QFutureInterface<TChunkStageResult>>();
    Interface->reportStarted();
    const QFuture<TChunkStageResult> Future = Interface->future();
    QThreadPool::globalInstance()->start(
        [Interface, Body = std::move(Body)] {
            TChunkStageResult Result;
            try {
                Result = Body();
            } catch (...) {
                Result.errorText = QStringLiteral("unknown exception");
            }
            Interface->reportResult(Result);
            Interface->reportFinished();
        },
        int(Stage));
    auto *Watcher = new TStageWatcher(this);
    m_runningStages.insert(Watcher);
    m_peakRunningStages = std::max(m_peakRunningStages, int(m_runningStages.size()));
    const QUrl Url = Chunk.url;
    connect(Watcher, &TStageWatcher::finished, this, [this, Watcher, Stage, Url] {
        m_runningStages.erase(Watcher);
        const TChunkStageResult Result = Watcher->result();
        Watcher->deleteLater();
        onStageFinished(Stage, Url, Result);
    });
    Watcher->setFuture(Future);
}

void TPackageFileDownloader::onStageFinished(EStage Stage, const QUrl &Url,
                                             const TChunkStageResult &Result)
{
    switch (Stage) {
    case EStage::Decompress:
        onDecompressFinished(Url, Result);
        break;
    case EStage::Verify:
        onVerifyFinished(Url, Result);
        break;
    case EStage::Save:
        onSaveFinished(Url, Result);
        break;
    case EStage::ApplyDelta:
        onDeltaApplied(Url, Result);
        break;
    }
}

void TPackageFileDownloader::onDecompressFinished(const QUrl &Url, const TChunkStageResult &Result)
{
    qInfo() << "processDownloadedData decompress finished " << Url.toString()
            << " Thread: " << QThread::currentThreadId();
    if (!Result.succeeded) {
        qWarning() << "Failed to decompress file downloaded from" << Url.toString();
        m_atLeastOneDownloadFailed = true;
        dropChunk(Url);
        return;
    }
    processDownloadedData(Url, Result.data, true, false);
}

void TPackageFileDownloader::onVerifyFinished(const QUrl &Url, const TChunkStageResult &Result)
{
    qInfo() << "processDownloadedData verify finished " << Url.toString()
            << " Thread: " << QThread::currentThreadId();
    if (Result.succeeded) {
        processDownloadedData(Url, Result.data, true, true);
        return;
    }
    qWarning() << "Failed to verify file downloaded from" << Url.toString();
    m_pool->release(Url);
    const auto Found = m_chunksInProgress.find(Url);
    if (Found != m_chunksInProgress.end()) {
        if (Found->retryCount >= MaximumRetries) {
            qCritical() << "Verify of " << Url.toString() << "failed.";
            m_chunksInProgress.erase(Found);
            m_atLeastOneDownloadFailed = true;
        } else {
            qInfo() << "Retry " << Url.toString() << " Thread: " << QThread::currentThreadId();
            ++Found->retryCount;
            m_pool->enqueueWithMaxReplySize(Url, maxReplySizeOf(*Found));
        }
    }
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

void TPackageFileDownloader::onSaveFinished(const QUrl &Url, const TChunkStageResult &Result)
{
    qInfo() << "processDownloadedData save completed " << Url.toString()
            << " Thread: " << QThread::currentThreadId();
    if (!Result.succeeded) {
        qWarning() << "Failed to save file downloaded from" << Url.toString()
                   << " Thread: " << QThread::currentThreadId();
        // The content was fine: the disk refused it. The player is told to check disk space.
        m_atLeastOneSavingOperationFailed = true;
        dropChunk(Url);
        return;
    }
    processFinishedData(Url);
}

void TPackageFileDownloader::onDeltaDownloaded(const QUrl &DeltaUrl, const QByteArray &Data)
{
    const auto Found = m_chunksInProgress.constFind(m_chunkUrlOfDelta.value(DeltaUrl));
    if (Found == m_chunksInProgress.constEnd() || !Found->plannedDelta) {
        m_pool->release(DeltaUrl);
        m_chunkUrlOfDelta.remove(DeltaUrl);
        return;
    }
    m_transferSummary.deltaBytes += Data.size();
    qInfo() << "processDownloadedData delta " << DeltaUrl.toString() << " for "
            << Found->url.toString() << " Thread: " << QThread::currentThreadId();
    runStage(EStage::ApplyDelta, *Found, Data);
}

void TPackageFileDownloader::onDeltaApplied(const QUrl &Url, const TChunkStageResult &Result)
{
    const QUrl DeltaUrl = m_deltaUrlOfChunk.value(Url);
    if (!Result.succeeded) {
        fallBackToChunk(DeltaUrl, Result.errorText);
        return;
    }
    // The content is built and checked: it continues like a verified chunk, and like one it keeps
    // its download slot until it is saved. Freed at once, every small delta would start the next
    // and the built chunks, each as large as a whole chunk, would pile up in memory waiting for
    // their saves.
    m_chunkUrlOfDelta.remove(DeltaUrl);
    ++m_transferSummary.deltas;
    processDownloadedData(Url, Result.data, true, true);
}

void TPackageFileDownloader::fallBackToChunk(const QUrl &DeltaUrl, const QString &Reason)
{
    m_pool->release(DeltaUrl);
    const QUrl Url = m_chunkUrlOfDelta.take(DeltaUrl);
    m_deltaUrlOfChunk.remove(Url);
    const auto Found = m_chunksInProgress.find(Url);
    if (Found == m_chunksInProgress.end())
        return;
    // Not an error: the chunk itself is always there to fall back to.
    qInfo() << "delta " << DeltaUrl.toString() << " not usable (" << Reason << "), downloading "
            << Url.toString() << " Thread: " << QThread::currentThreadId();
    Found->plannedDelta.reset();
    ++m_transferSummary.fallbacks;
    addSaturated(m_totalToDownload, Found->packedSize);
    m_pool->enqueueWithMaxReplySize(Url, maxReplySizeOf(*Found));
}

void TPackageFileDownloader::releaseSlotOf(const QUrl &Url)
{
    m_pool->release(Url);
    const auto Delta = m_deltaUrlOfChunk.find(Url);
    if (Delta != m_deltaUrlOfChunk.end() && !m_chunkUrlOfDelta.contains(*Delta)) {
        m_pool->release(*Delta);
        m_deltaUrlOfChunk.erase(Delta);
    }
}

void TPackageFileDownloader::dropChunk(const QUrl &Url)
{
    releaseSlotOf(Url);
    m_chunksInProgress.remove(Url);
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

void TPackageFileDownloader::processFinishedData(const QUrl &Url)
{
    qInfo() << "processFinishedData: " << Url.toString()
            << " Thread: " << QThread::currentThreadId();
    releaseSlotOf(Url);
    if (m_chunksInProgress.remove(Url) > 0) {
        qInfo() << "processFinishedData found: " << Url.toString()
                << " Thread: " << QThread::currentThreadId();
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
    }
}

void TPackageFileDownloader::emitFinishedSignalWhenNoMoreFilesAreOutstanding()
{
    qInfo() << "emitFinishedSignalWhenNoMoreFilesAreOutstanding ActiveDownloads: "
            << m_pool->activeDownloads() << " FilesInProgress: " << m_chunksInProgress.size()
            << " AtLeastOneDownloadFailed " << m_atLeastOneDownloadFailed
            << " AtLeastOneSavingOperationFailed " << m_atLeastOneSavingOperationFailed
            << " Thread: " << QThread::currentThreadId();
    if (!m_chunksInProgress.isEmpty() || m_finished)
        return;
    m_finished = true;
    qInfo().noquote() << QStringLiteral("download summary: %1 bytes in %2 deltas, %3 bytes in %4 "
                                        "full chunks, %5 deltas fell back to their chunk")
                             .arg(m_transferSummary.deltaBytes)
                             .arg(m_transferSummary.deltas)
                             .arg(m_transferSummary.chunkBytes)
                             .arg(m_transferSummary.chunks)
                             .arg(m_transferSummary.fallbacks)
                      << " Thread: " << QThread::currentThreadId();
    m_downloadStatistics.count = 0;
    m_writeStatistics.count = 0;
    m_progressTimer.stop();
    emitProgress();
    if (m_atLeastOneDownloadFailed) {
        emit downloadFailed(EPackageDownloaderError::DownloadFailed);
        return;
    }
    if (m_atLeastOneSavingOperationFailed || !everyFileIsComplete()) {
        emit downloadFailed(EPackageDownloaderError::SavingOperationFailed);
        return;
    }
    // The bases staged for deltas are used up, whichever way the chunks came. After a failure
    // they stay for the next try, whose scan keeps what still has its content.
    const bool DeltasPlanned =
        std::any_of(m_allChunks.begin(), m_allChunks.end(),
                    [](const TChunkToDownload &Chunk) { return Chunk.plannedDelta.has_value(); });
    if (DeltasPlanned)
        TDeltaBaseStaging::removeStagingDirectory(m_targetDirectory, *m_filesystemHelper);
    emit downloadCompleted();
}

// Every chunk being done is not every file being written: content that no downloaded chunk
// carried (one address given for two contents) leaves its places unwritten.
bool TPackageFileDownloader::everyFileIsComplete() const
{
    std::set<const TChunkedFileState *> Checked;
    for (const TChunkToDownload &Chunk : m_allChunks) {
        for (const auto &State : Chunk.fileStates) {
            if (!Checked.insert(State.get()).second)
                continue;
            QMutexLocker Lock(&State->mutex);
            if (!State->pendingChunkIndices.empty()) {
                qCritical() << "Download incomplete: file " << State->localFile << " still misses "
                            << State->pendingChunkIndices.size() << " chunks";
                return false;
            }
        }
    }
    return true;
}

} // namespace vorna::launcher
