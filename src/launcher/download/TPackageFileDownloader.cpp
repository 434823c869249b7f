#include "TPackageFileDownloader.h"

#include "configuration/TLauncherFilesystemHelper.h"
#include "format/BlobContainer.h"
#include "packages/DownloadLogging.h"
#include "packages/TDeltaBaseStaging.h"
#include "shared/LogCategories.h"
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

void TPackageFileDownloader::start()
{
    qCInfo(lcDownload) << "start download of " << m_allChunks.size() << " files";
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
    m_packRanges.clear();
    m_rangeOfObject.clear();
    m_objectsLeftInRange.clear();
    m_objectsHandedOver.clear();
    m_transferSummary = {};
    m_peakRunningStages = 0;

    // Every object by its own address, or, where a pack holds it, by its place in the pack.
    struct TRequest
    {
        int priority = 0;
        QUrl url;
    };
    std::vector<TRequest> Single;
    std::vector<TPackObject> Packed;
    int Priority = 0;
    for (const TChunkToDownload &Chunk : m_allChunks) {
        ++Priority;
        if (Chunk.plannedDelta) {
            const TChunkDelta &Delta = Chunk.plannedDelta->delta;
            // A delta URL must stand for exactly one chunk and be none of the chunks.
            if (!m_chunkUrlOfDelta.contains(Delta.url) && !m_chunksInProgress.contains(Delta.url)) {
                m_chunkUrlOfDelta.insert(Delta.url, Chunk.url);
                m_deltaUrlOfChunk.insert(Chunk.url, Delta.url);
                if (Delta.packUrl.isEmpty())
                    Single.push_back({Priority, Delta.url});
                else
                    Packed.push_back(
                        {Delta.url, Delta.packUrl, Delta.packOffset, Delta.packedSize, Priority});
                continue;
            }
            m_chunksInProgress[Chunk.url].plannedDelta.reset();
            addSaturated(m_totalToDownload, Chunk.packedSize);
        }
        if (Chunk.packUrl.isEmpty())
            Single.push_back({Priority, Chunk.url});
        else
            Packed.push_back(
                {Chunk.url, Chunk.packUrl, Chunk.packOffset, Chunk.packedSize, Priority});
    }
    std::vector<TPackRange> Ranges =
        coalescePackRanges(Packed, m_maxRangeGap, m_maxRangeRequestSize);
    QSet<QUrl> InRange;
    for (const TPackRange &Range : Ranges) {
        for (const TPackObject &Object : Range.objects)
            InRange.insert(Object.url);
    }
    for (const TPackObject &Object : Packed) {
        if (!InRange.contains(Object.url))
            Single.push_back({Object.priority, Object.url});
    }
    std::stable_sort(Single.begin(), Single.end(), [](const TRequest &Left, const TRequest &Right) {
        return Left.priority < Right.priority;
    });

    // Both lists are ordered by priority; they are merged so that what files need first still
    // comes first.
    auto NextSingle = Single.begin();
    auto NextRange = Ranges.begin();
    while (NextSingle != Single.end() || NextRange != Ranges.end()) {
        if (NextRange == Ranges.end() ||
            (NextSingle != Single.end() && NextSingle->priority < NextRange->priority)) {
            fetchAlone((NextSingle++)->url);
            continue;
        }
        const TPackRange &Range = *NextRange++;
        const QUrl Key = ::shared::TDownloadPool::rangeKey(Range.packUrl, qint64(Range.offset),
                                                           qint64(Range.length));
        bool HoldsDelta = false;
        for (const TPackObject &Object : Range.objects) {
            m_rangeOfObject.insert(Object.url, Key);
            HoldsDelta = HoldsDelta || m_chunkUrlOfDelta.contains(Object.url);
        }
        m_objectsLeftInRange.insert(Key, int(Range.objects.size()));
        m_packRanges.insert(Key, Range);
        qCDebug(downloadDetail) << "start download of " << Key.toString() << " ("
                                << Range.objects.size() << " objects)";
        // Deltas only save bytes: a range of them that takes too long gives way to the objects'
        // own addresses, and those to the chunks.
        m_pool->enqueueRange(Range.packUrl, qint64(Range.offset), qint64(Range.length),
                             HoldsDelta ? deltaDeadline(Range.length) : 0);
    }
}

int TPackageFileDownloader::deltaDeadline(quint64 Size) const
{
    constexpr quint64 BytesPerSecond = 64 * 1024;
    return int(quint64(std::max(0, m_deltaDeadline)) +
               std::min<quint64>(Size / BytesPerSecond, 3600) * 1000);
}

void TPackageFileDownloader::fetchAlone(const QUrl &Url)
{
    qCDebug(downloadDetail) << "start download of " << Url.toString();
    const auto Delta = m_chunkUrlOfDelta.constFind(Url);
    if (Delta != m_chunkUrlOfDelta.constEnd()) {
        const auto Chunk = m_chunksInProgress.constFind(*Delta);
        if (Chunk != m_chunksInProgress.constEnd() && Chunk->plannedDelta) {
            const quint64 Size = Chunk->plannedDelta->delta.packedSize;
            m_pool->enqueueWithMaxReplySize(Url, maxReplySizeOf(Size), deltaDeadline(Size));
        }
        return;
    }
    const auto Chunk = m_chunksInProgress.constFind(Url);
    if (Chunk != m_chunksInProgress.constEnd())
        m_pool->enqueueWithMaxReplySize(Url, maxReplySizeOf(*Chunk));
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

void TPackageFileDownloader::onRangeDownloaded(const QUrl &Key, const QByteArray &Data)
{
    handOverRangeObjects(Key, Data, true);
}

void TPackageFileDownloader::handOverRangeObjects(const QUrl &Key, const QByteArray &Received,
                                                  bool Complete)
{
    const auto Stored = m_packRanges.constFind(Key);
    if (Stored == m_packRanges.constEnd())
        return;
    const int Before = m_objectsHandedOver.value(Key);
    // Most arrivals complete no new object; they cost a lookup, not a copy of the range.
    if (!Complete) {
        if (Before >= int(Stored->objects.size()))
            return;
        const TPackObject &First = Stored->objects[std::size_t(Before)];
        if (First.offset + First.size > Stored->offset + quint64(Received.size()))
            return;
    }
    // A copy: handing an object over may end the range and remove it from the map.
    const TPackRange Range = *Stored;
    const int Count = int(Range.objects.size());
    int Next = Before;
    // Objects lie in the order of their offsets; one that is not complete yet holds back those
    // after it until more bytes come.
    for (; Next < Count; ++Next) {
        const TPackObject &Object = Range.objects[std::size_t(Next)];
        const QByteArray Bytes = objectInRange(Range, Received, Object);
        if (Bytes.isNull() && !Complete)
            break;
        m_objectsHandedOver.insert(Key, Next + 1);
        if (Bytes.isNull()) {
            // The pool hands over exactly the range; an object outside it is fetched alone.
            releaseObject(Object.url);
            fetchAlone(Object.url);
        } else if (m_chunkUrlOfDelta.contains(Object.url)) {
            onDeltaDownloaded(Object.url, Bytes);
        } else {
            if (m_chunksInProgress.contains(Object.url)) {
                m_transferSummary.chunkBytes += Bytes.size();
                ++m_transferSummary.chunks;
            }
            processDownloadedData(Object.url, Bytes);
        }
    }
    if (Next == Count && Before < Count) {
        // Qt's progress lags; the objects are all in.
        m_downloadedBytesByUrl.insert(Key, saturatedSize(Range.objectBytes));
        ++m_transferSummary.ranges;
    }
}

void TPackageFileDownloader::onRangeFailed(const QUrl &Key, const QString &Reason)
{
    const TPackRange Range = m_packRanges.take(Key);
    m_objectsLeftInRange.remove(Key);
    // Objects handed over before the range broke off are on their way already and keep their
    // bytes in the progress; the others are fetched again, object by object.
    const int HandedOver = m_objectsHandedOver.take(Key);
    TFileSize HandedOverBytes = 0;
    for (int Index = 0; Index < HandedOver; ++Index)
        addSaturated(HandedOverBytes, Range.objects[std::size_t(Index)].size);
    if (HandedOverBytes > 0)
        m_downloadedBytesByUrl.insert(Key, HandedOverBytes);
    else
        m_downloadedBytesByUrl.remove(Key);
    ++m_transferSummary.rangeFallbacks;
    qCInfo(lcDownload).noquote() << QStringLiteral(
                                        "range %1 not usable (%2), downloading its %3 objects "
                                        "one by one")
                                        .arg(Key.toString(), Reason)
                                        .arg(int(Range.objects.size()) - HandedOver);
    for (int Index = 0; Index < int(Range.objects.size()); ++Index) {
        const TPackObject &Object = Range.objects[std::size_t(Index)];
        m_rangeOfObject.remove(Object.url);
        if (Index >= HandedOver)
            fetchAlone(Object.url);
    }
}

void TPackageFileDownloader::releaseObject(const QUrl &Url)
{
    m_pool->release(Url);
    const auto Range = m_rangeOfObject.find(Url);
    if (Range == m_rangeOfObject.end())
        return;
    const QUrl Key = *Range;
    m_rangeOfObject.erase(Range);
    const auto Left = m_objectsLeftInRange.find(Key);
    if (Left != m_objectsLeftInRange.end() && --*Left <= 0) {
        m_objectsLeftInRange.erase(Left);
        m_objectsHandedOver.remove(Key);
        m_packRanges.remove(Key);
        m_pool->release(Key);
    }
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
