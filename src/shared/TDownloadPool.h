#pragma once

#include "TNetworkAccessManagerAuthenticationHandler.h"

#include <QHash>
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
class TBandwidthLimiter;

// Fetches URLs with GET, at most a given number at a time, and reports each outcome by URL to all
// listeners: exactly one success() or failed() per started request, progress() any number of
// times before it. Callers never see a reply; they match outcomes by URL and ignore the URLs of
// other users of the same pool.
//
// With ReleaseWhenFinished false a URL keeps its slot after its outcome until the user calls
// release(), so the limit bounds whatever the user does with the data, not only the transfer.
//
// Every reply body is bounded: by the size its user expects (enqueueWithMaxReplySize()) or by
// the pool's default (setMaxReplySize()). A reply that announces or delivers more is aborted and
// reported as failed(), so a server sending endless data costs a try, not the memory. Compressed
// replies are accepted (Qt asks for gzip and inflates transparently); the bound then applies to
// the inflated body, which is what the pool holds.
class TDownloadPool : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TDownloadPool)

public:
    // Long enough for any chunk or document on a slow line, short enough that a server that
    // stops sending cannot hold a slot for ever.
    static constexpr int DefaultTransferTimeout = 60000;
    // Bound of a reply without one of its own: the documents (launcher metadata, package and
    // asset documents, hints and their images). The largest of them, a package document listing
    // a few hundred thousand chunks, stays well below it; nothing the launcher fetches without a
    // known size comes near it.
    static constexpr qint64 DefaultMaxReplySize = 64 * 1024 * 1024;
    // Qt 5 opens at most six connections per host and queues further requests inside the
    // network access manager. When a server closes one connection mid-body, Qt fails the
    // requests queued behind it too, though they were never sent. The pool therefore hands Qt
    // no more transfers at once than its connections carry; the other slots wait here.
    static constexpr int MaxConcurrentTransfers = 6;
    // A request that Qt fails with "Connection closed" before any answer arrived may never have
    // been sent (see above); it is sent again this many times before its failure is reported.
    // Every connection cut fails all requests waiting for a connection at that moment, so a
    // waiting request can be hit by several cuts in a row; a server that closes every connection
    // unanswered still fails each request after this many quick attempts.
    static constexpr int MaxUnansweredResends = 8;

    TDownloadPool(int MaxConcurrentDownloads,
                  std::shared_ptr<QNetworkAccessManagerWrapper> NetworkAccess,
                  QObject *Parent = nullptr, bool ReleaseWhenFinished = true);
    ~TDownloadPool() override;

    bool releaseWhenFinished() const { return m_releaseWhenFinished; }

    // Milliseconds without received data after which a request is aborted and reported as
    // failed; 0 switches the timeout off. Applies to requests started afterwards.
    virtual void setTransferTimeout(int Milliseconds);
    virtual int transferTimeout() const;
    // Largest body accepted from a request enqueued without a bound of its own; 0 or less
    // switches the default bound off. Applies to requests started afterwards.
    virtual void setMaxReplySize(qint64 Bytes);
    virtual qint64 maxReplySize() const;
    // Milliseconds from the start of a request after which it is aborted and reported as failed,
    // however much it is still receiving; 0 switches the deadline off (the default, for chunks,
    // whose time grows with their size). Applies to requests started afterwards.
    virtual void setRequestDeadline(int Milliseconds);
    virtual int requestDeadline() const;
    // Paces the bodies of requests started from now on; shared by every pool, so that its cap
    // holds for all transfers together. Null: no pacing.
    void setBandwidthLimiter(std::shared_ptr<TBandwidthLimiter> Limiter)
    {
        m_bandwidthLimiter = std::move(Limiter);
    }
    // Requests started and not finished yet: at most MaxConcurrentTransfers.
    int runningTransfers() const { return m_transfers.size(); }

public slots:
    // Appends the URL to the waiting queue (moving it to the back if it already waits). A URL that
    // is active is left alone. An invalid or relative URL is not queued: failed() with
    // ProtocolInvalidOperationError and "Invalid URL" is emitted before enqueue() returns.
    virtual void enqueue(const QUrl &Url);
    // As enqueue(), but at the front of the queue and without the validity check.
    virtual void enqueueWithPriority(const QUrl &Url);
    // As enqueue(), with the largest body this request may have (for a file of known size). 0 or
    // less takes the pool's default. A positive DeadlineMilliseconds bounds the whole request
    // from its start: when it has not finished by then it is aborted and reported as failed()
    // with QNetworkReply::TimeoutError, however steadily its bytes still trickle in; without one
    // the pool's request deadline applies.
    virtual void enqueueWithMaxReplySize(const QUrl &Url, qint64 MaxReplySize,
                                         int DeadlineMilliseconds = 0);
    // Asks for the bytes [Offset, Offset + Length) of Url with one Range request and returns the
    // address its outcome is reported under: Url with the fragment "bytes=<first>-<last>"
    // (fragments are never sent), so that several ranges of one file can be under way at once.
    // success() comes only with exactly the bytes asked for: a server that answers with another
    // range, with the whole file (a server or cache that ignores Range), or with a short body ends
    // in failed() with UnknownContentError, without the pool holding more than Length bytes of it.
    // The user falls back to the objects' own addresses then. A range that cannot be one (negative,
    // empty, ending beyond signed 64-bit offsets) fails at once, under Url itself.
    virtual QUrl enqueueRange(const QUrl &Url, qint64 Offset, qint64 Length,
                              int DeadlineMilliseconds = 0);
    static QUrl rangeKey(const QUrl &Url, qint64 Offset, qint64 Length);
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
    // The bytes of a range request received so far, from the range's first byte, each time more
    // arrive once the answer is known to be the range asked for (or the file from its start), so
    // that the user can take the objects that are complete before the whole range is in. The
    // outcome still follows as success() with the whole range, or failed(). Connect directly and
    // keep no copy: the array shares the reply's buffer.
    void rangeReceived(QUrl url, QByteArray receivedSoFar);

private:
    struct TActiveRequest
    {
        QPointer<QNetworkReplyWrapper> reply;
        // The outcome has been emitted; a later notification of the same reply stays silent.
        bool reported = false;
        qint64 maxReplySize = 0; // 0: unbounded
        // Headers or body bytes have arrived: the request certainly reached the server.
        bool answered = false;
        // Times the request was sent again after Qt failed it unanswered.
        int resends = 0;
        int deadline = 0; // milliseconds, 0: none
        // A range request whose answer's headers show the range asked for.
        bool rangeAccepted = false;
    };

    struct TRange
    {
        qint64 offset = 0;
        qint64 length = 0;
    };

    void runQueue();
    // Why the answer of a range request is not the range asked for; empty while it may still be.
    QString rangeAnswerError(QNetworkReplyWrapper *Reply, const TRange &Range,
                             qint64 BodySize) const;
    void onReplyHeaders(QNetworkReplyWrapper *Reply);
    void start(const QUrl &Url, qint64 MaxReplySize, int Deadline, int Resends);
    bool isActiveRequest(const QUrl &Url, const QNetworkReplyWrapper *Reply) const;
    void onReplyError(QNetworkReplyWrapper *Reply);
    void onReplyFinished(QNetworkReplyWrapper *Reply);
    void onReplyData(QNetworkReplyWrapper *Reply, qint64 Bytes, bool Answered);
    // Takes the body received so far out of an accepted range answer and reports it.
    void onRangeBody(QNetworkReplyWrapper *Reply, bool Drain);
    void onReplyDeadline(QNetworkReplyWrapper *Reply);
    // Ends an active request that is still running with a failure of the pool's own.
    void failRunning(QNetworkReplyWrapper *Reply, QNetworkReply::NetworkError Code,
                     const QString &ErrorString);
    bool resendUnanswered(const QUrl &Url, QNetworkReplyWrapper *Reply);
    void removeFromQueue(const QUrl &Url);
    void addToQueue(const QUrl &Url, qint64 MaxReplySize, bool AtFront, int Deadline = 0);
    // False, with the failure reported, for a URL the network could only refuse.
    bool isUsableUrl(const QUrl &Url);

    std::shared_ptr<QNetworkAccessManagerWrapper> m_networkAccess;
    QMap<QUrl, TActiveRequest> m_active;
    int m_maxConcurrentDownloads = 0;
    std::deque<QUrl> m_queue;
    // Mirrors m_queue so that enqueueing thousands of chunk URLs stays linear.
    QSet<QUrl> m_queued;
    // Bounds of queued URLs that came with their own.
    QHash<QUrl, qint64> m_queuedMaxReplySizes;
    // Deadlines of queued URLs that came with one.
    QHash<QUrl, int> m_queuedDeadlines;
    // Range requests by the address they are reported under, from enqueueRange() to release().
    QHash<QUrl, TRange> m_ranges;
    // Replies started and not finished, whether or not their URL still holds a slot.
    QSet<QNetworkReplyWrapper *> m_transfers;
    // URLs whose request is to be sent again; they keep their slots meanwhile.
    std::deque<QUrl> m_resends;
    TNetworkAccessManagerAuthenticationHandler m_authenticationHandler;
    const bool m_releaseWhenFinished = true;
    int m_transferTimeout = DefaultTransferTimeout;
    qint64 m_maxReplySize = DefaultMaxReplySize;
    int m_requestDeadline = 0;
    std::shared_ptr<TBandwidthLimiter> m_bandwidthLimiter;
};

} // namespace shared
