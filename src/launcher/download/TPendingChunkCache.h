#pragma once

#include "TPendingChunk.h"

#include <QByteArray>
#include <QMap>
#include <QMutex>

#include <memory>

namespace vorna::launcher {

// The downloader's pending chunks: content that arrived before the place where it belongs could
// be written. Shared with the save workers; every member function locks the cache's mutex, which
// a worker takes only while it holds a file's mutex, never the other way round.
//
// Every place in every file that needs a content counts one use. Each write of that content,
// whether straight from a downloaded chunk or from the cache, gives one use back; the last one
// releases the cached bytes, so memory stays bounded for the whole run.
class TPendingChunkCache final
{
public:
    explicit TPendingChunkCache(int MaxCachedChunks) : m_maxCachedChunks(MaxCachedChunks) {}
    TPendingChunkCache(const TPendingChunkCache &) = delete;
    TPendingChunkCache &operator=(const TPendingChunkCache &) = delete;

    // One more place needs the content with this hash.
    void addUse(const QByteArray &UnpackedHash);
    // The entry for the hash when its content is held (in memory or in a temporary file).
    std::shared_ptr<TPendingChunk> heldContent(const QByteArray &UnpackedHash) const;
    // One place has been written; releases the entry after its last use.
    void useWritten(const QByteArray &UnpackedHash);
    // Keeps Data for later places: in memory while fewer than the limit are held there (the limit
    // itself may be exceeded by one), else in a temporary file. Throws std::runtime_error when no
    // place needs the content or the temporary file cannot be written.
    void store(const QByteArray &UnpackedHash, const QByteArray &Data);

    int cachedChunkCount() const;
    int pendingChunkCount() const;
    int maxCachedChunks() const { return m_maxCachedChunks; }

private:
    mutable QMutex m_mutex;
    QMap<QByteArray, std::shared_ptr<TPendingChunk>> m_pendingChunks;
    int m_cachedChunkCount = 0;
    const int m_maxCachedChunks = 100;
};

} // namespace vorna::launcher
