#include "TBandwidthLimiter.h"

#include "QNetworkReplyWrapper.h"

#include <algorithm>

namespace shared {

namespace {

// The bucket holds at most this share of a second's tokens: a pause in reading (a busy event
// loop) is not made up later by a burst above the cap.
constexpr double BurstSeconds = 0.3;
constexpr qint64 MinimumReadBuffer = 16 * 1024;
constexpr qint64 MaximumReadBuffer = 512 * 1024;

} // namespace

TBandwidthLimiter::TBandwidthLimiter(qint64 BytesPerSecond, QObject *Parent) : QObject(Parent)
{
    m_rate = std::max<qint64>(0, BytesPerSecond);
    m_timer.setInterval(TickMilliseconds);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &TBandwidthLimiter::onTick);
}

TBandwidthLimiter::~TBandwidthLimiter() = default;

void TBandwidthLimiter::setRate(qint64 BytesPerSecond)
{
    BytesPerSecond = std::max<qint64>(0, BytesPerSecond);
    if (BytesPerSecond == m_rate)
        return;
    m_rate = BytesPerSecond;
    forgetEndedReplies();
    for (const QPointer<QNetworkReplyWrapper> &Reply : m_replies) {
        applyReadBufferSize(Reply);
        // Lifting the cap hands over what was held back; the reply then runs as Qt delivers.
        if (m_rate <= 0)
            Reply->drain(Reply->bytesAvailable());
    }
    restartBucket();
    emit rateChanged(m_rate);
}

void TBandwidthLimiter::forgetEndedReplies()
{
    m_replies.erase(
        std::remove_if(m_replies.begin(), m_replies.end(),
                       [](const QPointer<QNetworkReplyWrapper> &Reply) { return Reply.isNull(); }),
        m_replies.end());
}

// The timer runs only while a cap is set and replies are paced.
void TBandwidthLimiter::restartBucket()
{
    if (m_rate <= 0 || m_replies.empty()) {
        m_timer.stop();
        return;
    }
    if (!m_timer.isActive()) {
        m_tokens = std::min(0.0, m_tokens);
        m_clock.restart();
        m_timer.start();
    }
}

qint64 TBandwidthLimiter::readBufferSize() const
{
    if (m_rate <= 0)
        return 0;
    return std::clamp<qint64>(m_rate / 50, MinimumReadBuffer, MaximumReadBuffer);
}

void TBandwidthLimiter::applyReadBufferSize(QNetworkReplyWrapper *Reply) const
{
    Reply->setReadBufferSize(readBufferSize());
}

void TBandwidthLimiter::attach(QNetworkReplyWrapper *Reply)
{
    if (!Reply)
        return;
    // Replies are kept even without a cap, so that a cap set later paces them too.
    forgetEndedReplies();
    // Without a cap the reply is left exactly as Qt made it.
    if (m_rate > 0)
        applyReadBufferSize(Reply);
    m_replies.emplace_back(Reply);
    // The last bytes of a body are read when it ends, whatever the bucket holds; they are paid
    // for afterwards, so that many short bodies cannot add up to more than the cap. Connected
    // before the pool's own handler, this takes them first.
    connect(Reply, &QNetworkReplyWrapper::finished, this, [this, Reply] {
        if (m_rate > 0)
            m_tokens -= double(Reply->drain(Reply->bytesAvailable()));
    });
    restartBucket();
}

void TBandwidthLimiter::onTick()
{
    forgetEndedReplies();
    restartBucket();
    if (!m_timer.isActive())
        return;
    const double Capacity = std::max<double>(double(m_rate) * BurstSeconds, MinimumReadBuffer);
    m_tokens = std::min(Capacity, m_tokens + double(m_rate) * double(m_clock.restart()) / 1000.0);
    const std::size_t Count = m_replies.size();
    m_nextReply %= Count;
    // Each reply gets an equal share first; what one cannot use goes to the next.
    for (std::size_t Served = 0; Served < Count && m_tokens >= 1; ++Served) {
        QNetworkReplyWrapper *Reply = m_replies[(m_nextReply + Served) % Count];
        const qint64 Share = std::max<qint64>(1, qint64(m_tokens / double(Count - Served)));
        m_tokens -= double(Reply->drain(Share));
    }
    m_nextReply = (m_nextReply + 1) % Count;
}

} // namespace shared
