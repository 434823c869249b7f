#include "TCloudflareCdnTrace.h"

#include "shared/TDownloadPool.h"

#include <algorithm>

namespace vorna::launcher {

TCloudflareCdnTrace::TCloudflareCdnTrace(const QUrl &Url,
                                         std::shared_ptr<::shared::TDownloadPool> Pool)
    : m_url(Url), m_pool(std::move(Pool))
{
    connect(m_pool.get(), &::shared::TDownloadPool::success, this,
            &TCloudflareCdnTrace::onDownloadSuccess);
    connect(m_pool.get(), &::shared::TDownloadPool::failed, this,
            &TCloudflareCdnTrace::onDownloadFailed);
}

void TCloudflareCdnTrace::request()
{
    if (m_received || m_failed || m_requested) {
        return;
    }
    if (m_url.isValid()) {
        // Set before enqueueing: the pool reports an unusable URL before enqueue() returns.
        m_requested = true;
        m_failed = false;
        m_pool->enqueue(m_url);
    } else {
        m_failed = true;
        m_requested = false;
        emit diagnosticsTraceReceived(true);
    }
}

QString TCloudflareCdnTrace::toDisplayString() const
{
    return QStringLiteral("FL: %1, TS: %2, COLO: %3, IP: %4")
        .arg(m_values.fl, m_values.ts, m_values.colo, m_values.ip);
}

TCloudflareCdnTrace::TValues TCloudflareCdnTrace::parse(const QByteArray &Data)
{
    constexpr int MaxValueLength = 64;
    TValues Values;
    const QStringList Lines = QString::fromUtf8(Data).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &Line : Lines) {
        const QStringList Parts = Line.split(QLatin1Char('='), Qt::SkipEmptyParts);
        if (Parts.size() != 2) {
            continue;
        }
        const QString &Key = Parts.at(0);
        // Trimming also drops the carriage return of Windows line ends.
        const QString Value = Parts.at(1).trimmed();
        // The reply is shown in the failure dialog: only what a server flag, time stamp,
        // data-center code or address can look like, never markup or a long text.
        if (Value.size() > MaxValueLength ||
            std::any_of(Value.cbegin(), Value.cend(), [](QChar Character) {
                return !Character.isLetterOrNumber() && Character != QLatin1Char('.') &&
                       Character != QLatin1Char(':') && Character != QLatin1Char('-') &&
                       Character != QLatin1Char('_');
            })) {
            continue;
        }
        if (Key.compare(QLatin1String("fl"), Qt::CaseInsensitive) == 0) {
            Values.fl = Value;
        } else if (Key.compare(QLatin1String("ts"), Qt::CaseInsensitive) == 0) {
            Values.ts = Value;
        } else if (Key.compare(QLatin1String("colo"), Qt::CaseInsensitive) == 0) {
            Values.colo = Value;
        } else if (Key.compare(QLatin1String("ip"), Qt::CaseInsensitive) == 0) {
            Values.ip = Value;
        }
    }
    return Values;
}

void TCloudflareCdnTrace::onDownloadSuccess(const QUrl &Url, const QByteArray &Data)
{
    // The application's pool reports the URLs of all its users.
    if (Url != m_url) {
        return;
    }
    m_values = parse(Data);
    m_received = true;
    m_failed = false;
    m_requested = false;
    emit diagnosticsTraceReceived(false);
}

void TCloudflareCdnTrace::onDownloadFailed(const QUrl &Url, QNetworkReply::NetworkError Code,
                                           const QString &ErrorString)
{
    Q_UNUSED(Code)
    Q_UNUSED(ErrorString)
    if (Url != m_url) {
        return;
    }
    m_received = false;
    m_requested = false;
    m_failed = true;
    emit diagnosticsTraceReceived(true);
}

} // namespace vorna::launcher
