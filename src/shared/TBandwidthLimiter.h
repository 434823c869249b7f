#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <vector>

namespace shared {

class QNetworkReplyWrapper;

// Caps the rate at which the bodies of all attached replies are received, together, with a token
// bucket. Each attached reply may keep only a small read buffer, so Qt stops reading its
// connection when the buffer is full and the server's sending stalls; on every tick the limiter
// takes as many bytes out of the replies as the tokens earned since the last tick allow. Nothing
// sleeps: the main thread only runs a short timer while a capped reply is attached.
//
// Usage: one limiter for the whole launcher, handed to every download pool
// (TDownloadPool::setBandwidthLimiter()); setRate() changes the cap at any time, for running
// transfers too. A rate of 0 means no limit, and then the replies are read as Qt delivers them.
class TBandwidthLimiter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TBandwidthLimiter)

public:
    static constexpr int TickMilliseconds = 10;

    explicit TBandwidthLimiter(qint64 BytesPerSecond = 0, QObject *Parent = nullptr);
    ~TBandwidthLimiter() override;

    // Bytes per second over all replies; 0 or less: no limit.
    void setRate(qint64 BytesPerSecond);
    qint64 rate() const { return m_rate; }
    // Paces the body of Reply from now on, until the reply goes.
    void attach(QNetworkReplyWrapper *Reply);

signals:
    void rateChanged(qint64 BytesPerSecond);

private:
    void onTick();
    void forgetEndedReplies();
    void restartBucket();
    void applyReadBufferSize(QNetworkReplyWrapper *Reply) const;
    // What one reply may hold unread: a tick's worth at the full rate, so that a single transfer
    // can still reach the cap, and small, since the last bytes of a body are taken when it ends,
    // past the bucket.
    qint64 readBufferSize() const;

    qint64 m_rate = 0;
    double m_tokens = 0;
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::vector<QPointer<QNetworkReplyWrapper>> m_replies;
    // Where the next tick starts handing out tokens, so that no reply is always served last.
    std::size_t m_nextReply = 0;
};

} // namespace shared
