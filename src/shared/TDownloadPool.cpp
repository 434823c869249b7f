#include "TDownloadPool.h"

#include "QNetworkAccessManagerWrapper.h"
#include "QNetworkReplyWrapper.h"

#include <QNetworkRequest>

#include <algorithm>

namespace shared {

TDownloadPool::TDownloadPool(int MaxConcurrentDownloads,
                             std::shared_ptr<QNetworkAccessManagerWrapper> NetworkAccess,
                             QObject *Parent, bool ReleaseWhenFinished)
    : QObject(Parent), m_networkAccess(std::move(NetworkAccess)),
      m_maxConcurrentDownloads(MaxConcurrentDownloads), m_releaseWhenFinished(ReleaseWhenFinished)
{
    // Follow redirects, but never from HTTPS down to HTTP.
    m_networkAccess->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

TDownloadPool::~TDownloadPool()
{
    // The replies die with the network access manager, possibly while our members are being
    // destroyed; they must not call back into a half-destroyed pool.
    for (const TActiveRequest &Request : qAsConst(m_active)) {
        if (Request.reply) {
            Request.reply->disconnect(this);
        }
    }
}

void TDownloadPool::setTransferTimeout(int Milliseconds)
{
    m_transferTimeout = std::max(0, Milliseconds);
}

int TDownloadPool::transferTimeout() const
{
    return m_transferTimeout;
}

void TDownloadPool::enqueue(const QUrl &Url)
{
    const QUrl Reparsed(Url.toString(), QUrl::StrictMode);
    if (!Reparsed.isValid() || Reparsed.isRelative()) {
        // Reported once and dropped: handing it to the network would only fail it a second time.
        emit failed(Url, QNetworkReply::ProtocolInvalidOperationError,
                    QStringLiteral("Invalid URL"));
        return;
    }
    removeFromQueue(Url);
    if (!m_active.contains(Url)) {
        m_queue.push_back(Url);
        m_queued.insert(Url);
        runQueue();
    }
}

void TDownloadPool::enqueueWithPriority(const QUrl &Url)
{
    removeFromQueue(Url);
    if (!m_active.contains(Url)) {
        m_queue.push_front(Url);
        m_queued.insert(Url);
        runQueue();
    }
}

void TDownloadPool::setMaxConcurrentDownloads(int MaxConcurrentDownloads)
{
    m_maxConcurrentDownloads = MaxConcurrentDownloads;
    if (m_maxConcurrentDownloads > 0) {
        runQueue();
    }
}

int TDownloadPool::maxConcurrentDownloads() const
{
    return m_maxConcurrentDownloads;
}

int TDownloadPool::activeDownloads() const
{
    return m_active.size();
}

qint64 TDownloadPool::outstandingDownloads() const
{
    return static_cast<qint64>(m_queue.size()) + m_active.size();
}

void TDownloadPool::setCache(QAbstractNetworkCache *Cache)
{
    m_networkAccess->setCache(Cache);
}

void TDownloadPool::release(const QUrl &Url)
{
    if (m_active.remove(Url) > 0) {
        runQueue();
    }
}

void TDownloadPool::runQueue()
{
    while (!m_queue.empty() && activeDownloads() < maxConcurrentDownloads()) {
        const QUrl Url = m_queue.front();
        m_queue.pop_front();
        m_queued.remove(Url);
        start(Url);
    }
}

void TDownloadPool::start(const QUrl &Url)
{
    QNetworkRequest Request(Url);
    Request.setTransferTimeout(m_transferTimeout);
    QNetworkReplyWrapper *Reply = m_networkAccess->get(Request);
    connect(Reply, &QNetworkReplyWrapper::progress, this,
            [this, Reply](qlonglong Bytes) { emit progress(Reply->url(), Bytes); });
    connect(Reply, qOverload<QNetworkReply::NetworkError>(&QNetworkReplyWrapper::error), this,
            [this, Reply](QNetworkReply::NetworkError) { onReplyError(Reply); });
    connect(Reply, &QNetworkReplyWrapper::finished, this,
            [this, Reply]() { onReplyFinished(Reply); });
    m_active.insert(Url, TActiveRequest{Reply, false});
}

// A URL can be released and requested again while the first reply is still winding down; only
// the reply that currently holds the URL's slot may report for it.
bool TDownloadPool::isActiveRequest(const QUrl &Url, const QNetworkReplyWrapper *Reply) const
{
    const auto It = m_active.constFind(Url);
    return It != m_active.cend() && It->reply == Reply && !It->reported;
}

void TDownloadPool::onReplyError(QNetworkReplyWrapper *Reply)
{
    const QUrl Url = Reply->url();
    if (!isActiveRequest(Url, Reply)) {
        return;
    }
    if (m_releaseWhenFinished) {
        m_active.remove(Url);
    } else {
        m_active[Url].reported = true;
    }
    // A listener may destroy the pool from its handler (an installation that gives up).
    const QPointer<TDownloadPool> Self(this);
    emit failed(Url, Reply->error(), Reply->errorString());
    if (Self && m_releaseWhenFinished) {
        runQueue();
    }
}

void TDownloadPool::onReplyFinished(QNetworkReplyWrapper *Reply)
{
    const QUrl Url = Reply->url();
    // The wrapper takes its reply with it; without this every finished request would stay in
    // memory until the network access manager is destroyed.
    Reply->deleteLater();
    if (!isActiveRequest(Url, Reply)) {
        return;
    }
    if (m_releaseWhenFinished) {
        m_active.remove(Url);
    } else {
        m_active[Url].reported = true;
    }
    const QPointer<TDownloadPool> Self(this);
    if (Reply->error() == QNetworkReply::NoError) {
        emit success(Url, Reply->readAll());
    } else {
        emit failed(Url, Reply->error(), Reply->errorString());
    }
    if (Self && m_releaseWhenFinished) {
        runQueue();
    }
}

void TDownloadPool::removeFromQueue(const QUrl &Url)
{
    if (m_queued.remove(Url)) {
        m_queue.erase(std::find(m_queue.begin(), m_queue.end(), Url));
    }
}

} // namespace shared
