#pragma once

#include "TChunkStore.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>

#include <list>

namespace vorna::publisher {

// The unpacked content of stored chunks for the delta pass. Neighbouring changed chunks of a
// file have bases made of mostly the same older chunks; each is unpacked from the store once and
// kept while it is among the most recently used, up to a byte bound. Shared by the delta pass's
// workers; every member function locks.
class TDecodedChunkCache final
{
public:
    static constexpr qint64 DefaultBound = qint64(512) << 20;

    explicit TDecodedChunkCache(const TChunkStore &Store, qint64 Bound = DefaultBound)
        : m_store(Store), m_bound(Bound)
    {
    }
    TDecodedChunkCache(const TDecodedChunkCache &) = delete;
    TDecodedChunkCache &operator=(const TDecodedChunkCache &) = delete;

    // The content of the stored chunk with this hash and length; empty when the store does not
    // have it or it does not unpack to that content.
    QByteArray content(const QByteArray &Hash, qint64 Length);

private:
    const TChunkStore &m_store;
    const qint64 m_bound;
    QMutex m_mutex;
    // Most recently used first.
    std::list<QByteArray> m_order;
    QHash<QByteArray, std::pair<QByteArray, std::list<QByteArray>::iterator>> m_contents;
    qint64 m_bytes = 0;
};

} // namespace vorna::publisher
