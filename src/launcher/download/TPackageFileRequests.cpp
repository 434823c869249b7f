// The downloader's requests: which objects are fetched alone and which through pack ranges, and
// how the objects of a range are handed over as its bytes arrive or fetched again when it fails.
#include "TPackageFileDownloader.h"

#include "DownloadSizes.h"
#include "packages/DownloadLogging.h"
#include "shared/LogCategories.h"
#include "shared/TDownloadPool.h"

#include <QDebug>
#include <QSet>

#include <algorithm>

namespace vorna::launcher {

using namespace downloadsizes;

void TPackageFileDownloader::start()
{
    qCInfo(lcDownload) << "start download of " << m_allChunks.size() << " files";
    resetRunState();
    std::vector<TSingleRequest> Single;
    const std::vector<TPackRange> Ranges = planRequests(Single);
    issueRequests(Single, Ranges);
}

void TPackageFileDownloader::resetRunState()
{
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
}

// Every object by its own address, or, where a pack holds it, by its place in the pack: fills
// Single with the objects fetched alone and returns the pack ranges, both by priority. Claims the
// delta of each chunk that has one.
std::vector<TPackRange> TPackageFileDownloader::planRequests(std::vector<TSingleRequest> &Single)
{
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
    std::stable_sort(Single.begin(), Single.end(),
                     [](const TSingleRequest &Left, const TSingleRequest &Right) {
                         return Left.priority < Right.priority;
                     });
    return Ranges;
}

void TPackageFileDownloader::issueRequests(const std::vector<TSingleRequest> &Single,
                                           const std::vector<TPackRange> &Ranges)
{
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

} // namespace vorna::launcher
