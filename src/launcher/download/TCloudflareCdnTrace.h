#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

namespace shared {
class TDownloadPool;
}

namespace vorna::launcher {

// Diagnostic facts about the CDN edge that serves this player, fetched once on demand from a
// Cloudflare trace endpoint ("key=value" lines) and kept for the rest of the run.
class TCloudflareCdnTrace final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TCloudflareCdnTrace)

public:
    // The four values the trace keeps; a key missing from the reply leaves its value empty.
    struct TValues
    {
        QString fl;
        QString ts;
        QString colo;
        QString ip;
    };

    TCloudflareCdnTrace(const QUrl &Url, std::shared_ptr<::shared::TDownloadPool> Pool);

    // Asks for the trace unless it has been received, has failed or is under way. An unusable
    // URL fails at once. diagnosticsTraceReceived() tells the outcome.
    void request();

    // "FL: <fl>, TS: <ts>, COLO: <colo>, IP: <ip>"
    QString toDisplayString() const;

    bool isReceived() const { return m_received; }
    bool isFailed() const { return m_failed; }
    bool isRequested() const { return m_requested; }
    const QUrl &url() const { return m_url; }
    const TValues &values() const { return m_values; }

    static TValues parse(const QByteArray &Data);

signals:
    void diagnosticsTraceReceived(bool Failed);

private slots:
    void onDownloadSuccess(const QUrl &Url, const QByteArray &Data);
    void onDownloadFailed(const QUrl &Url, QNetworkReply::NetworkError Code,
                          const QString &ErrorString);

private:
    QUrl m_url;
    std::shared_ptr<::shared::TDownloadPool> m_pool;
    TValues m_values;
    bool m_received = false;
    bool m_failed = false;
    bool m_requested = false;
};

} // namespace vorna::launcher
