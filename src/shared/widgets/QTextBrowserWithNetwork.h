#pragma once

#include <QHash>
#include <QNetworkReply>
#include <QTextBrowser>
#include <QUrl>
#include <QVariant>

#include <memory>

namespace shared {

class TDownloadPool;

// A text browser whose documents may name http(s) and ftp resources: they are fetched through the
// download pool, a placeholder stands in until they arrive, and the document is laid out again
// with the real data.
class QTextBrowserWithNetwork final : public QTextBrowser
{
    Q_OBJECT
    Q_DISABLE_COPY(QTextBrowserWithNetwork)

public:
    QTextBrowserWithNetwork(QWidget *Parent, std::shared_ptr<TDownloadPool> Pool);
    ~QTextBrowserWithNetwork() override;

    QVariant loadResource(int Type, const QUrl &Url) override;
    QSize sizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int Width) const override;

private slots:
    void onDownloadFinished(const QUrl &Url, const QByteArray &Data);
    void onDownloadFailed(const QUrl &Url, QNetworkReply::NetworkError Code,
                          const QString &ErrorString);

private:
    std::shared_ptr<TDownloadPool> m_pool;
    QHash<QUrl, QVariant> m_cache;
};

} // namespace shared
