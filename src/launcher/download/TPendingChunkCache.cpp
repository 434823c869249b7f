#include "TPendingChunkCache.h"

#include "format/TErrorException.h"
#include "shared/TFileSystemHelper.h"

#include <QMutexLocker>
#include <QString>

#include <stdexcept>

namespace vorna::launcher {

void TPendingChunkCache::addUse(const QByteArray &UnpackedHash)
{
    QMutexLocker Lock(&m_mutex);
    auto &Entry = m_pendingChunks[UnpackedHash];
    if (!Entry)
        Entry = std::make_shared<TPendingChunk>();
    ++Entry->useCount;
}

std::shared_ptr<TPendingChunk> TPendingChunkCache::heldContent(const QByteArray &UnpackedHash) const
{
    QMutexLocker Lock(&m_mutex);
    const auto Found = m_pendingChunks.constFind(UnpackedHash);
    if (Found == m_pendingChunks.constEnd() || (*Found)->storage == TPendingChunk::NoContent)
        return {};
    return *Found;
}

void TPendingChunkCache::useWritten(const QByteArray &UnpackedHash)
{
    QMutexLocker Lock(&m_mutex);
    const auto Found = m_pendingChunks.find(UnpackedHash);
    if (Found == m_pendingChunks.end())
        return;
    const std::shared_ptr<TPendingChunk> Entry = *Found;
    if (--Entry->useCount > 0)
        return;
    if (Entry->storage == TPendingChunk::InMemory)
        --m_cachedChunkCount;
    Entry->data.clear();
    // The temporary file itself goes with the last reference: a worker may still be reading it.
    m_pendingChunks.erase(Found);
}

void TPendingChunkCache::store(const QByteArray &UnpackedHash, const QByteArray &Data)
{
    std::shared_ptr<TPendingChunk> Entry;
    bool InMemory = false;
    {
        QMutexLocker Lock(&m_mutex);
        const auto Found = m_pendingChunks.constFind(UnpackedHash);
        if (Found == m_pendingChunks.constEnd())
            throw ::shared::TErrorException(::shared::EErrorCode::PendingChunkMissing, {},
                                            QStringLiteral("couldn't find pending chunk"));
        Entry = *Found;
        // Another URL with the same content may have been cached already; one copy is enough.
        if (Entry->storage != TPendingChunk::NoContent || Entry->temporaryFile)
            return;
        if (m_maxCachedChunks < m_cachedChunkCount) {
            // Claimed under the lock, so that no second writer picks the same entry.
            Entry->temporaryFile = std::make_unique<QTemporaryFile>();
        } else {
            ++m_cachedChunkCount;
            InMemory = true;
            Entry->data = Data;
            Entry->storage = TPendingChunk::InMemory;
        }
    }
    if (InMemory)
        return;

    QTemporaryFile &File = *Entry->temporaryFile;
    if (!File.open())
        throw ::shared::TErrorException(::shared::EErrorCode::OpenFailed, File.fileName(),
                                        QStringLiteral("couldn't open chunk file"));
    // A small write only fills Qt's buffer; a full disk shows in the flush.
    const qint64 Written = File.write(Data);
    const bool Flushed = File.flush();
    File.close();
    if (Written != Data.size() || !Flushed)
        throw ::shared::TErrorException(::shared::EErrorCode::WriteFailed, File.fileName(),
                                        QStringLiteral("couldn't write chunk file"));

    QMutexLocker Lock(&m_mutex);
    Entry->storage = TPendingChunk::InTemporaryFile;
}

int TPendingChunkCache::cachedChunkCount() const
{
    QMutexLocker Lock(&m_mutex);
    return m_cachedChunkCount;
}

int TPendingChunkCache::pendingChunkCount() const
{
    QMutexLocker Lock(&m_mutex);
    return m_pendingChunks.size();
}

} // namespace vorna::launcher
