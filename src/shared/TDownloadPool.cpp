#include "TDownloadPool.h"

#include "QNetworkAccessManagerWrapper.h"
#include "QNetworkReplyWrapper.h"
#include "TBandwidthLimiter.h"
#include "shared/LogCategories.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace shared {

namespace {

QString replySizeError(qint64 Bound)
{
    return QStringLiteral("Reply exceeds the size limit of %1 bytes").arg(Bound);
}

// "bytes <first>-<last>/<total or *>" of a 206 answer.
bool contentRangeIs(const QByteArray &Header, qint64 First, qint64 Last)
{
    const QByteArray Prefix("bytes ");
    if (!Header.startsWith(Prefix)) {
        return false;
    }
    const QByteArray Span = Header.mid(Prefix.size()).split('/').value(0).trimmed();
    const QList<QByteArray> Ends = Span.split('-');
    bool FirstOk = false;
    bool LastOk = false;
    return Ends.size() == 2 && Ends[0].toLongLong(&FirstOk) == First && FirstOk &&
           Ends[1].toLongLong(&LastOk) == Last && LastOk;
}

} // namespace

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
    for (QNetworkReplyWrapper *Reply : qAsConst(m_transfers)) {
        Reply->disconnect(this);
    }
    // A finished reply waiting for its deferred deletion is still connected. When this pool
    // holds the last reference to the network access manager, the manager deletes such replies
    // as it goes; that must happen now, while the members their handlers touch still exist.
    m_networkAccess.reset();
}

void TDownloadPool::setTransferTimeout(int Milliseconds)
{
    m_transferTimeout = std::max(0, Milliseconds);
}

int TDownloadPool::transferTimeout() const
{
    return m_transferTimeout;
}

void TDownloadPool::setMaxReplySize(qint64 Bytes)
{
    m_maxReplySize = std::max<qint64>(0, Bytes);
}

qint64 TDownloadPool::maxReplySize() const
{
    return m_maxReplySize;
}

void TDownloadPool::setRequestDeadline(int Milliseconds)
{
    m_requestDeadline = std::max(0, Milliseconds);
}

int TDownloadPool::requestDeadline() const
{
    return m_requestDeadline;
}

void TDownloadPool::enqueue(const QUrl &Url)
{
    if (isUsableUrl(Url)) {
        addToQueue(Url, 0, false);
    }
}

void TDownloadPool::enqueueWithPriority(const QUrl &Url)
{
    addToQueue(Url, 0, true);
}

void TDownloadPool::enqueueWithMaxReplySize(const QUrl &Url, qint64 MaxReplySize,
                                            int DeadlineMilliseconds)
{
    if (isUsableUrl(Url)) {
        addToQueue(Url, MaxReplySize, false, DeadlineMilliseconds);
    }
}

QUrl TDownloadPool::rangeKey(const QUrl &Url, qint64 Offset, qint64 Length)
{
    QUrl Key = Url;
    Key.setFragment(QStringLiteral("bytes=%1-%2").arg(Offset).arg(Offset + Length - 1));
    return Key;
}

QUrl TDownloadPool::enqueueRange(const QUrl &Url, qint64 Offset, qint64 Length,
                                 int DeadlineMilliseconds)
{
    if (Offset < 0 || Length <= 0 || Offset > std::numeric_limits<qint64>::max() - Length) {
        emit failed(Url, QNetworkReply::ProtocolInvalidOperationError,
                    QStringLiteral("Invalid range"));
        return Url;
    }
    const QUrl Key = rangeKey(Url, Offset, Length);
    if (isUsableUrl(Key)) {
        m_ranges.insert(Key, {Offset, Length});
        addToQueue(Key, Length, false, DeadlineMilliseconds);
    }
    return Key;
}

bool TDownloadPool::isUsableUrl(const QUrl &Url)
{
    const QUrl Reparsed(Url.toString(), QUrl::StrictMode);
    if (Reparsed.isValid() && !Reparsed.isRelative()) {
        return true;
    }
    // Reported once and dropped: handing it to the network would only fail it a second time.
    emit failed(Url, QNetworkReply::ProtocolInvalidOperationError, QStringLiteral("Invalid URL"));
    return false;
}

void TDownloadPool::addToQueue(const QUrl &Url, qint64 MaxReplySize, bool AtFront, int Deadline)
{
    removeFromQueue(Url);
    if (m_active.contains(Url)) {
        return;
    }
    if (AtFront) {
        m_queue.push_front(Url);
    } else {
        m_queue.push_back(Url);
    }
    m_queued.insert(Url);
    if (MaxReplySize > 0) {
        m_queuedMaxReplySizes.insert(Url, MaxReplySize);
    }
    if (Deadline > 0) {
        m_queuedDeadlines.insert(Url, Deadline);
    }
    runQueue();
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
    m_ranges.remove(Url);
    if (m_active.remove(Url) > 0) {
        runQueue();
    }
}

void TDownloadPool::runQueue()
{
    // Requests to send again already hold their slots; they go first.
    while (!m_resends.empty() && m_transfers.size() < MaxConcurrentTransfers) {
        const QUrl Url = m_resends.front();
        m_resends.pop_front();
        const auto It = m_active.constFind(Url);
        if (It != m_active.cend() && !It->reply) {
            start(Url, It->maxReplySize, It->deadline, It->resends);
        }
    }
    while (!m_queue.empty() && activeDownloads() < maxConcurrentDownloads() &&
           m_transfers.size() < MaxConcurrentTransfers) {
        const QUrl Url = m_queue.front();
        m_queue.pop_front();
        m_queued.remove(Url);
        const qint64 MaxReplySize = m_queuedMaxReplySizes.take(Url);
        start(Url, MaxReplySize > 0 ? MaxReplySize : m_maxReplySize, m_queuedDeadlines.take(Url),
              0);
    }
}

void TDownloadPool::start(const QUrl &Url, qint64 MaxReplySize, int Deadline, int Resends)
{
    // No Accept-Encoding of our own: Qt then asks for gzip and deflate and inflates the body.
    // A fragment stays in the request, where it tells outcomes apart, and is never sent.
    QNetworkRequest Request(Url);
    Request.setTransferTimeout(m_transferTimeout);
    const auto Range = m_ranges.constFind(Url);
    if (Range != m_ranges.cend()) {
        Request.setRawHeader("Range", QByteArrayLiteral("bytes=") +
                                          QByteArray::number(Range->offset) + '-' +
                                          QByteArray::number(Range->offset + Range->length - 1));
        // The range counts bytes of the file as stored; a compressed answer would count others.
        Request.setRawHeader("Accept-Encoding", "identity");
    }
    QNetworkReplyWrapper *Reply = m_networkAccess->get(Request);
    m_transfers.insert(Reply);
    if (m_bandwidthLimiter) {
        m_bandwidthLimiter->attach(Reply);
    }
    TActiveRequest Active;
    Active.reply = Reply;
    Active.maxReplySize = MaxReplySize;
    Active.resends = Resends;
    // The transfer timeout counts idle time only; a server that trickles a byte now and then
    // is ended by the deadline: the request's own, or else the pool's.
    Active.deadline = Deadline > 0 ? Deadline : m_requestDeadline;
    m_active.insert(Url, Active);
    if (Active.deadline > 0) {
        // The timer goes with the reply; a reply that has ended finds nothing to abort.
        QTimer::singleShot(Active.deadline, Reply, [this, Reply]() { onReplyDeadline(Reply); });
    }
    connect(Reply, &QNetworkReplyWrapper::progress, this, [this, Reply](qlonglong Bytes) {
        emit progress(Reply->url(), Bytes);
        onReplyData(Reply, Bytes, Bytes > 0);
    });
    // The announced length is checked as soon as the headers are in, the bytes as they arrive:
    // progress() is throttled by Qt, readyRead() is not.
    connect(Reply, &QNetworkReplyWrapper::metaDataChanged, this, [this, Reply]() {
        onReplyData(Reply, Reply->contentLength(), true);
        onReplyHeaders(Reply);
    });
    connect(Reply, &QNetworkReplyWrapper::readyRead, this, [this, Reply]() {
        onReplyData(Reply, Reply->bytesAvailable(), true);
        onRangeBody(Reply, true);
    });
    // Under a download cap the limiter takes the body out at its pace.
    connect(Reply, &QNetworkReplyWrapper::drained, this,
            [this, Reply]() { onRangeBody(Reply, false); });
    connect(Reply, qOverload<QNetworkReply::NetworkError>(&QNetworkReplyWrapper::error), this,
            [this, Reply](QNetworkReply::NetworkError) { onReplyError(Reply); });
    connect(Reply, &QNetworkReplyWrapper::finished, this,
            [this, Reply]() { onReplyFinished(Reply); });
    // A reply that goes without finishing must not hold a transfer for ever.
    connect(Reply, &QObject::destroyed, this, [this, Reply]() {
        if (m_transfers.remove(Reply)) {
            runQueue();
        }
    });
}

void TDownloadPool::onReplyData(QNetworkReplyWrapper *Reply, qint64 Bytes, bool Answered)
{
    const QUrl Url = Reply->url();
    if (!isActiveRequest(Url, Reply)) {
        return;
    }
    TActiveRequest &Request = m_active[Url];
    Request.answered = Request.answered || Answered;
    const qint64 Bound = Request.maxReplySize;
    if (Bound <= 0 || Bytes <= Bound) {
        return;
    }
    failRunning(Reply, QNetworkReply::UnknownContentError, replySizeError(Bound));
}

QString TDownloadPool::rangeAnswerError(QNetworkReplyWrapper *Reply, const TRange &Range,
                                        qint64 BodySize) const
{
    const int Status = Reply->httpStatusCode();
    const qint64 Last = Range.offset + Range.length - 1;
    bool Fits = false;
    if (Status == 206) {
        Fits = contentRangeIs(Reply->rawHeader("Content-Range"), Range.offset, Last);
    } else if (Status == 200) {
        // The whole file, which is what was asked for only when the range starts at its
        // beginning and the body turns out to be just as long.
        Fits = Range.offset == 0 && (BodySize < 0 || BodySize == Range.length);
    } else if (BodySize < 0 && (Status == 0 || (Status >= 300 && Status < 400))) {
        Fits = true; // no answer yet, or a redirect being followed
    }
    if (Fits && (BodySize < 0 || BodySize == Range.length)) {
        return {};
    }
    return QStringLiteral("Server did not answer the range request bytes=%1-%2 as asked (status "
                          "%3, Content-Range '%4', %5 bytes)")
        .arg(Range.offset)
        .arg(Last)
        .arg(Status)
        .arg(QString::fromLatin1(Reply->rawHeader("Content-Range")))
        .arg(BodySize);
}

// Headers that already show a wrong answer end the request before its body is received: a
// server that ignores Range would otherwise send the whole pack.
void TDownloadPool::onReplyHeaders(QNetworkReplyWrapper *Reply)
{
    const QUrl Url = Reply->url();
    const auto Range = m_ranges.constFind(Url);
    if (Range == m_ranges.cend() || !isActiveRequest(Url, Reply)) {
        return;
    }
    const QString Error = rangeAnswerError(Reply, *Range, -1);
    if (!Error.isEmpty()) {
        failRunning(Reply, QNetworkReply::UnknownContentError, Error);
        return;
    }
    const int Status = Reply->httpStatusCode();
    m_active[Url].rangeAccepted = Status == 206 || Status == 200;
}

void TDownloadPool::onRangeBody(QNetworkReplyWrapper *Reply, bool Drain)
{
    const QUrl Url = Reply->url();
    if (!isActiveRequest(Url, Reply) || !m_active.value(Url).rangeAccepted) {
        return;
    }
    if (Drain) {
        // Under a cap the limiter alone may take bytes out: taking them here would let Qt read
        // past its pace.
        if ((m_bandwidthLimiter && m_bandwidthLimiter->rate() > 0) ||
            Reply->bytesAvailable() == Reply->drainedBody().size()) {
            return;
        }
        // Emits drained(), which reports the body.
        Reply->drain(Reply->bytesAvailable());
        return;
    }
    const qint64 Length = m_ranges.value(Url).length;
    QByteArray Received = Reply->drainedBody();
    if (Received.size() > Length) {
        return; // the size bound ends the request
    }
    emit rangeReceived(Url, std::move(Received));
}

void TDownloadPool::onReplyDeadline(QNetworkReplyWrapper *Reply)
{
    const QUrl Url = Reply->url();
    if (!isActiveRequest(Url, Reply)) {
        return;
    }
    const int Deadline = m_active.value(Url).deadline;
    failRunning(Reply, QNetworkReply::TimeoutError,
                QStringLiteral("Request exceeded its deadline of %1 ms").arg(Deadline));
}

// Called from inside the reply's own notifications, with Qt's reply code below on the stack. A
// listener may open a dialog from its failed() handler; the nested event loop would then run
// the abort and the reply's deletion while that code still uses the reply. So the abort and the
// report both happen from the event loop, in this order: the reply's own notifications are
// silent from here on, and the report comes once.
void TDownloadPool::failRunning(QNetworkReplyWrapper *Reply, QNetworkReply::NetworkError Code,
                                const QString &ErrorString)
{
    const QUrl Url = Reply->url();
    if (m_releaseWhenFinished) {
        m_active.remove(Url);
    } else {
        m_active[Url].reported = true;
    }
    const QPointer<QNetworkReplyWrapper> Running(Reply);
    QMetaObject::invokeMethod(
        this,
        [this, Running, Url, Code, ErrorString]() {
            if (Running) {
                Running->abort();
            }
            const QPointer<TDownloadPool> Self(this);
            emit failed(Url, Code, ErrorString);
            if (Self && m_releaseWhenFinished) {
                runQueue();
            }
        },
        Qt::QueuedConnection);
}

// A URL can be released and requested again while the first reply is still winding down; only
// the reply that currently holds the URL's slot may report for it.
bool TDownloadPool::isActiveRequest(const QUrl &Url, const QNetworkReplyWrapper *Reply) const
{
    const auto It = m_active.constFind(Url);
    return It != m_active.cend() && It->reply == Reply && !It->reported;
}

// When the server closes a connection, Qt fails every request still waiting for one of its
// connections with the same error as the request that was cut off, though they were never sent.
// Such a request had no answer at all; it is sent again, a few times, without reporting.
bool TDownloadPool::resendUnanswered(const QUrl &Url, QNetworkReplyWrapper *Reply)
{
    TActiveRequest &Request = m_active[Url];
    if (Request.answered || Request.resends >= MaxUnansweredResends ||
        Reply->error() != QNetworkReply::RemoteHostClosedError) {
        return false;
    }
    qCInfo(lcShared) << "Resending unanswered request" << Url.toString();
    Request.reply = nullptr;
    ++Request.resends;
    m_resends.push_back(Url);
    runQueue();
    return true;
}

void TDownloadPool::onReplyError(QNetworkReplyWrapper *Reply)
{
    const QUrl Url = Reply->url();
    if (!isActiveRequest(Url, Reply) || resendUnanswered(Url, Reply)) {
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
    // Its connection is free again, though its slot may still be taken.
    const bool FreedTransfer = m_transfers.remove(Reply);
    if (!isActiveRequest(Url, Reply) ||
        (Reply->error() != QNetworkReply::NoError && resendUnanswered(Url, Reply))) {
        if (FreedTransfer) {
            runQueue();
        }
        return;
    }
    const qint64 Bound = m_active.value(Url).maxReplySize;
    if (m_releaseWhenFinished) {
        m_active.remove(Url);
    } else {
        m_active[Url].reported = true;
    }
    const QPointer<TDownloadPool> Self(this);
    if (Reply->error() != QNetworkReply::NoError) {
        emit failed(Url, Reply->error(), Reply->errorString());
    } else {
        const QByteArray Data = Reply->readAll();
        const auto Range = m_ranges.constFind(Url);
        const QString RangeError =
            Range == m_ranges.cend() ? QString() : rangeAnswerError(Reply, *Range, Data.size());
        if (Bound > 0 && Data.size() > Bound) {
            emit failed(Url, QNetworkReply::UnknownContentError, replySizeError(Bound));
        } else if (!RangeError.isEmpty()) {
            emit failed(Url, QNetworkReply::UnknownContentError, RangeError);
        } else {
            emit success(Url, Data);
        }
    }
    if (Self) {
        if (m_releaseWhenFinished) {
            m_ranges.remove(Url);
        }
        runQueue();
    }
}

void TDownloadPool::removeFromQueue(const QUrl &Url)
{
    m_queuedMaxReplySizes.remove(Url);
    m_queuedDeadlines.remove(Url);
    if (m_queued.remove(Url)) {
        m_queue.erase(std::find(m_queue.begin(), m_queue.end(), Url));
    }
}

} // namespace shared
