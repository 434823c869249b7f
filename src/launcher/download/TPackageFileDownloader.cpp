#include "TPackageFileDownloader.h"

#include "DownloadSizes.h"

#include "configuration/TLauncherFilesystemHelper.h"
#include "packages/DownloadLogging.h"
#include "packages/TDeltaBaseStaging.h"
#include "shared/LogCategories.h"
#include "shared/TDownloadPool.h"

#include <QDebug>
#include <QFutureInterface>
#include <QFutureWatcher>
#include <QThreadPool>

#include <algorithm>

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

} // namespace

using namespace downloadsizes;

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
    // Objects of a range go to their pipelines as soon as their bytes are in, so decoding and
    // saving run alongside the transfer instead of after it.
    connect(m_pool.get(), &::shared::TDownloadPool::rangeReceived, this,
            [this](const QUrl &Key, const QByteArray &Received) {
                if (m_packRanges.contains(Key))
                    handOverRangeObjects(Key, Received, false);
            });
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

void TPackageFileDownloader::onDownloadProgress(QUrl Url, TFileSize DownloadedBytes)
{
    // A range counts the bytes of its objects, not those of the gaps between them, so that
    // progress ends at the total of what was asked for.
    const auto Range = m_packRanges.constFind(Url);
    if (Range != m_packRanges.constEnd())
        m_downloadedBytesByUrl.insert(Url,
                                      std::min(DownloadedBytes, saturatedSize(Range->objectBytes)));
    else if (m_chunksInProgress.contains(Url) || m_chunkUrlOfDelta.contains(Url))
        m_downloadedBytesByUrl.insert(Url, DownloadedBytes);
}

void TPackageFileDownloader::onDownloadCompleted(QUrl Url, QByteArray Data)
{
    qCDebug(downloadDetail) << "onDownloadCompleted " << Url.toString();
    if (m_packRanges.contains(Url)) {
        onRangeDownloaded(Url, Data);
        return;
    }
    if (m_chunkUrlOfDelta.contains(Url)) {
        onDeltaDownloaded(Url, Data);
        return;
    }
    if (m_chunksInProgress.contains(Url)) {
        m_transferSummary.chunkBytes += Data.size();
        ++m_transferSummary.chunks;
    }
    processDownloadedData(Url, Data);
}

void TPackageFileDownloader::onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code,
                                              QString ErrorString)
{
    Q_UNUSED(Code)
    qCInfo(lcDownload) << "onDownloadFailed " << Url.toString();
    m_pool->release(Url);
    if (m_packRanges.contains(Url)) {
        onRangeFailed(Url, ErrorString);
        return;
    }
    if (m_chunkUrlOfDelta.contains(Url)) {
        fallBackToChunk(Url, ErrorString);
        return;
    }
    const auto Found = m_chunksInProgress.find(Url);
    if (Found == m_chunksInProgress.end())
        return;
    if (Found->retryCount >= MaximumRetries) {
        qCCritical(lcDownload) << "Download of " << Url.toString() << "failed:" << ErrorString;
        m_chunksInProgress.erase(Found);
        m_atLeastOneDownloadFailed = true;
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
        return;
    }
    qCInfo(lcDownload) << "Retry " << Url.toString();
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

void TPackageFileDownloader::processDownloadedData(const QUrl &Url, const QByteArray &Data)
{
    const auto Found = m_chunksInProgress.constFind(Url);
    if (Found == m_chunksInProgress.constEnd()) {
        releaseObject(Url);
        return;
    }
    qCDebug(downloadDetail) << "processDownloadedData " << Url.toString();
    runPipeline(*Found, Data, false);
}

void TPackageFileDownloader::runPipeline(const TChunkToDownload &Chunk, const QByteArray &Data,
                                         bool IsDelta)
{
    // One task does the whole way of the object: no main-thread hop between the stages, and the
    // content, once unpacked, never travels back to the main thread.
    auto Interface = std::make_shared<QFutureInterface<TChunkStageResult>>();
    Interface->reportStarted();
    const QFuture<TChunkStageResult> Future = Interface->future();
    QThreadPool::globalInstance()->start(
        [Interface, Context = saveContext(), Chunk, Data, IsDelta] {
            TChunkStageResult Result;
            try {
                Result = processDownloadedObject(Context, Chunk, Data, IsDelta);
            } catch (...) {
                Result.error = {
                    ::shared::EErrorCode::Unexpected, {}, QStringLiteral("unknown exception")};
            }
            Interface->reportResult(Result);
            Interface->reportFinished();
        });
    auto *Watcher = new TStageWatcher(this);
    m_runningStages.insert(Watcher);
    m_peakRunningStages = std::max(m_peakRunningStages, int(m_runningStages.size()));
    const QUrl Url = Chunk.url;
    connect(Watcher, &TStageWatcher::finished, this, [this, Watcher, Url, IsDelta] {
        m_runningStages.erase(Watcher);
        const TChunkStageResult Result = Watcher->result();
        Watcher->deleteLater();
        onObjectProcessed(Url, IsDelta, Result);
    });
    Watcher->setFuture(Future);
}

void TPackageFileDownloader::onObjectProcessed(const QUrl &Url, bool IsDelta,
                                               const TChunkStageResult &Result)
{
    qCDebug(downloadDetail) << "processDownloadedData finished " << Url.toString();
    // A built delta has served its purpose whether or not the save succeeds: its slot goes with
    // the chunk's.
    if (IsDelta && (Result.succeeded || Result.stage == EChunkStage::Save)) {
        m_chunkUrlOfDelta.remove(m_deltaUrlOfChunk.value(Url));
        ++m_transferSummary.deltas;
    }
    if (Result.succeeded) {
        processFinishedData(Url);
        return;
    }
    switch (Result.stage) {
    case EChunkStage::ApplyDelta:
        fallBackToChunk(m_deltaUrlOfChunk.value(Url), Result.error.text());
        break;
    case EChunkStage::Decompress:
        qCWarning(lcDownload) << "Failed to decompress file downloaded from" << Url.toString();
        // Bytes cut from a pack may be what is broken; the chunk's own file gets a try.
        if (m_rangeOfObject.contains(Url)) {
            onVerifyFailed(Url);
            break;
        }
        m_atLeastOneDownloadFailed = true;
        dropChunk(Url);
        break;
    case EChunkStage::Verify:
        onVerifyFailed(Url);
        break;
    case EChunkStage::Save:
        qCWarning(lcDownload) << "Failed to save file downloaded from" << Url.toString();
        // The content was fine: the disk refused it. The player is told to check disk space.
        m_atLeastOneSavingOperationFailed = true;
        dropChunk(Url);
        break;
    }
}

void TPackageFileDownloader::onVerifyFailed(const QUrl &Url)
{
    qCWarning(lcDownload) << "Failed to verify file downloaded from" << Url.toString();
    releaseObject(Url);
    const auto Found = m_chunksInProgress.find(Url);
    if (Found != m_chunksInProgress.end()) {
        if (Found->retryCount >= MaximumRetries) {
            qCCritical(lcDownload) << "Verify of " << Url.toString() << "failed.";
            m_chunksInProgress.erase(Found);
            m_atLeastOneDownloadFailed = true;
        } else {
            qCInfo(lcDownload) << "Retry " << Url.toString();
            ++Found->retryCount;
            m_pool->enqueueWithMaxReplySize(Url, maxReplySizeOf(*Found));
        }
    }
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

void TPackageFileDownloader::onDeltaDownloaded(const QUrl &DeltaUrl, const QByteArray &Data)
{
    const auto Found = m_chunksInProgress.constFind(m_chunkUrlOfDelta.value(DeltaUrl));
    if (Found == m_chunksInProgress.constEnd() || !Found->plannedDelta) {
        releaseObject(DeltaUrl);
        m_chunkUrlOfDelta.remove(DeltaUrl);
        return;
    }
    m_transferSummary.deltaBytes += Data.size();
    qCDebug(downloadDetail) << "processDownloadedData delta " << DeltaUrl.toString() << " for "
                            << Found->url.toString();
    // The content is built, checked and saved in one task; like a chunk the delta keeps its
    // download slot until then. Freed at once, every small delta would start the next and the
    // built chunks, each as large as a whole chunk, would pile up in memory.
    runPipeline(*Found, Data, true);
}

void TPackageFileDownloader::fallBackToChunk(const QUrl &DeltaUrl, const QString &Reason)
{
    releaseObject(DeltaUrl);
    const QUrl Url = m_chunkUrlOfDelta.take(DeltaUrl);
    m_deltaUrlOfChunk.remove(Url);
    const auto Found = m_chunksInProgress.find(Url);
    if (Found == m_chunksInProgress.end())
        return;
    // Not an error: the chunk itself is always there to fall back to.
    qCInfo(lcDownload) << "delta " << DeltaUrl.toString() << " not usable (" << Reason
                       << "), downloading " << Url.toString();
    Found->plannedDelta.reset();
    ++m_transferSummary.fallbacks;
    addSaturated(m_totalToDownload, Found->packedSize);
    m_pool->enqueueWithMaxReplySize(Url, maxReplySizeOf(*Found));
}

void TPackageFileDownloader::releaseSlotOf(const QUrl &Url)
{
    releaseObject(Url);
    const auto Delta = m_deltaUrlOfChunk.find(Url);
    if (Delta != m_deltaUrlOfChunk.end() && !m_chunkUrlOfDelta.contains(*Delta)) {
        releaseObject(*Delta);
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
    qCDebug(downloadDetail) << "processFinishedData: " << Url.toString();
    releaseSlotOf(Url);
    if (m_chunksInProgress.remove(Url) > 0) {
        qCDebug(downloadDetail) << "processFinishedData found: " << Url.toString();
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
    }
}

void TPackageFileDownloader::emitFinishedSignalWhenNoMoreFilesAreOutstanding()
{
    // Once per chunk: detail, except for the call that ends the run.
    if (m_chunksInProgress.isEmpty() || downloadDetail().isDebugEnabled()) {
        const QMessageLogger Logger;
        (m_chunksInProgress.isEmpty() ? Logger.info(lcDownload()) : Logger.debug(lcDownload()))
            << "emitFinishedSignalWhenNoMoreFilesAreOutstanding ActiveDownloads: "
            << m_pool->activeDownloads() << " FilesInProgress: " << m_chunksInProgress.size()
            << " AtLeastOneDownloadFailed " << m_atLeastOneDownloadFailed
            << " AtLeastOneSavingOperationFailed " << m_atLeastOneSavingOperationFailed;
    }
    if (!m_chunksInProgress.isEmpty() || m_finished)
        return;
    m_finished = true;
    qCInfo(lcDownload).noquote() << QStringLiteral(
                                        "download summary: %1 bytes in %2 deltas, %3 bytes in %4 "
                                        "full chunks, %5 deltas fell back to their chunk, %6 "
                                        "range requests, %7 ranges fetched object by object")
                                        .arg(m_transferSummary.deltaBytes)
                                        .arg(m_transferSummary.deltas)
                                        .arg(m_transferSummary.chunkBytes)
                                        .arg(m_transferSummary.chunks)
                                        .arg(m_transferSummary.fallbacks)
                                        .arg(m_transferSummary.ranges)
                                        .arg(m_transferSummary.rangeFallbacks);
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
                qCCritical(lcDownload)
                    << "Download incomplete: file " << State->localFile << " still misses "
                    << State->pendingChunkIndices.size() << " chunks";
                return false;
            }
        }
    }
    return true;
}

} // namespace vorna::launcher
