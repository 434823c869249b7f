#include "TDecodedChunkCache.h"

#include "format/BlobContainer.h"
#include "format/TSha256.h"

#include <QFile>
#include <QMutexLocker>

#include <exception>

namespace vorna::publisher {

QByteArray TDecodedChunkCache::content(const QByteArray &Hash, qint64 Length)
{
    {
        const QMutexLocker locker(&m_mutex);
        const auto found = m_contents.find(Hash);
        if (found != m_contents.end()) {
            m_order.splice(m_order.begin(), m_order, found->second);
            return found->first;
        }
    }
    // Unpacked outside the lock: two workers may unpack one chunk at the same time, but no
    // worker waits for another's unpacking.
    if (!m_store.contains(Hash))
        return {};
    QByteArray content;
    try {
        QFile file(m_store.chunkPath(Hash));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        content = ::shared::decodeBlobContainerStrict(file.readAll(), Length);
    } catch (const std::exception &) {
        return {};
    }
    if (content.size() != Length || ::shared::sha256(content) != Hash)
        return {};

    const QMutexLocker locker(&m_mutex);
    if (!m_contents.contains(Hash) && content.size() <= m_bound) {
        m_order.push_front(Hash);
        m_contents.insert(Hash, {content, m_order.begin()});
        m_bytes += content.size();
        while (m_bytes > m_bound) {
            const QByteArray oldest = m_order.back();
            m_order.pop_back();
            m_bytes -= m_contents.take(oldest).first.size();
        }
    }
    return content;
}

} // namespace vorna::publisher
