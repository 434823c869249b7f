#pragma once

#include "TNetworkAccessManagerAuthenticationHandler.h"

#include <QMap>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QUrl>

#include <deque>
#include <memory>

class QAbstractNetworkCache;

namespace shared {

class QNetworkAccessManagerWrapper;
class QNetworkReplyWrapper;

// Fetches URLs with GET, at most a given number at a time, and reports each outcome by URL to all
// listeners: exactly one success() or failed() per started request, progress() any number of
// times before it. Callers never see a reply; they match outcomes by URL and ignore the URLs of
// other users of the same pool.
//
// With ReleaseWhenFinished false a URL keeps its slot after its outcome until the user calls
// release(), so the limit bounds whatever the user does with the data, not only the transfer.
class TDownloadPool : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TDownloadPool)

public:
    // Long enough for any chunk or document on a slow line, short enough that a server that
    // stops sending cannot hold a slot for ever.
    static constexpr int DefaultTransferTimeout = 60000;

    TDownloadPool(int MaxConcurrentDownloads,
                  std::shared_ptr<QNetworkAccessManagerWrapper> NetworkAccess,
                  QObject *Parent = nullptr, bool ReleaseWhenFinished = true);
    ~TDownloadPool() override;

    bool releaseWhenFinished() const { return m_releaseWhenFinished; }

    // Milliseconds without received data after which a request is aborted and reported as
    // failed; 0 switches the timeout off. Applies to requests started afterwards.
    virtual void setTransferTimeout(int Milliseconds);
    virtual int transferTimeout() const;

public slots:
    // Appends the URL to the waiting queue (moving it to the back if it already waits). A URL that
    // is active is left alone. An invalid or relative URL is not queued: failed() with
    // ProtocolInvalidOperationError and "Invalid URL" is emitted before enqueue() returns.
    virtual void enqueue(const QUrl &Url);
    // As enqueue(), but at the front of the queue and without the validity check.
    virtual void enqueueWithPriority(const QUrl &Url);
    virtual void setMaxConcurrentDownloads(int MaxConcurrentDownloads);
    virtual int maxConcurrentDownloads() const;
    virtual int activeDownloads() const;
    virtual qint64 outstandingDownloads() const;
    virtual void setCache(QAbstractNetworkCache *Cache);
    // Frees the slot of a URL whose outcome has been dealt with. The reply is not aborted.
    virtual void release(const QUrl &Url);

signals:
    void success(QUrl url, QByteArray data);
    void failed(QUrl url, QNetworkReply::NetworkError code, QString errorString);
    void progress(QUrl Url, qlonglong BytesReceivedFromRequest);

private:
    struct TActiveRequest
    {
        QPointer<QNetworkReplyWrapper> reply;
        // The outcome has been emitted; a later notification of the same reply stays silent.
        bool reported = false;
    };

    void runQueue();
    void start(const QUrl &Url);
    bool isActiveRequest(const QUrl &Url, const QNetworkReplyWrapper *Reply) const;
    void onReplyError(QNetworkReplyWrapper *Reply);
    void onReplyFinished(QNetworkReplyWrapper *Reply);
    void removeFromQueue(const QUrl &Url);

    std::shared_ptr<QNetworkAccessManagerWrapper> m_networkAccess;
    QMap<QUrl, TActiveRequest> m_active;
    int m_maxConcurrentDownloads = 0;
    std::deque<QUrl> m_queue;
    // Mirrors m_queue so that enqueueing thousands of chunk URLs stays linear.
    QSet<QUrl> m_queued;
    TNetworkAccessManagerAuthenticationHandler m_authenticationHandler;
    const bool m_releaseWhenFinished = true;
    int m_transferTimeout = DefaultTransferTimeout;
};

} // namespace shared
