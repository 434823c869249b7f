#include "QTextBrowserWithNetwork.h"

#include "shared/LogCategories.h"
#include "shared/TDownloadPool.h"

#include <QDebug>
#include <QImage>
#include <QMetaEnum>
#include <QTextDocument>

namespace shared {

QTextBrowserWithNetwork::QTextBrowserWithNetwork(QWidget *Parent,
                                                 std::shared_ptr<TDownloadPool> Pool)
    : QTextBrowser(Parent), m_pool(std::move(Pool))
{
    if (m_pool) {
        connect(m_pool.get(), &TDownloadPool::success, this,
                &QTextBrowserWithNetwork::onDownloadFinished);
        connect(m_pool.get(), &TDownloadPool::failed, this,
                &QTextBrowserWithNetwork::onDownloadFailed);
    }
}

QTextBrowserWithNetwork::~QTextBrowserWithNetwork() = default;

QVariant QTextBrowserWithNetwork::loadResource(int Type, const QUrl &Url)
{
    const auto cached = m_cache.constFind(Url);
    if (cached != m_cache.constEnd())
        return cached.value();

    const QString scheme = Url.scheme();
    if (m_pool && (scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
                   scheme == QLatin1String("ftp"))) {
        QVariant placeholder;
        if (Type == QTextDocument::ImageResource) {
            QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            placeholder = image;
        } else {
            placeholder = Type;
        }
        // Cached before asking, so that a second layout pass does not ask again.
        m_cache.insert(Url, placeholder);
        m_pool->enqueue(Url);
        return placeholder;
    }

    // The browser shows text from documents that are not signed: of everything else only the
    // program's own resources load, never a file of the machine (file:///dev/zero, a device).
    const QVariant result =
        scheme == QLatin1String("qrc") ? QTextBrowser::loadResource(Type, Url) : QVariant();
    m_cache.insert(Url, result);
    return result;
}

void QTextBrowserWithNetwork::onDownloadFinished(const QUrl &Url, const QByteArray &Data)
{
    // The pool reports every user's downloads; only ours have a placeholder.
    if (!m_cache.contains(Url))
        return;
    m_cache.insert(Url, Data);
    setHtml(toHtml());
    updateGeometry();
}

void QTextBrowserWithNetwork::onDownloadFailed(const QUrl &Url, QNetworkReply::NetworkError Code,
                                               const QString &ErrorString)
{
    if (!m_cache.contains(Url))
        return;
    qCWarning(lcShared) << "Download failed:" << Url
                        << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(Code)
                        << ErrorString;
}

QSize QTextBrowserWithNetwork::sizeHint() const
{
    return document()->size().toSize();
}

int QTextBrowserWithNetwork::heightForWidth(int) const
{
    return static_cast<int>(document()->size().height());
}

} // namespace shared
