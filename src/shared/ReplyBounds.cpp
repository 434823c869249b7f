#include "ReplyBounds.h"

#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

namespace shared {

void boundReply(QNetworkReply *Reply, qint64 MaxBytes, int DeadlineMs)
{
    if (!Reply)
        return;
    // Aborted from the event loop, not from inside the reply's own notification.
    const auto abortLater = [Reply]() {
        QMetaObject::invokeMethod(
            Reply, [Reply]() { Reply->abort(); }, Qt::QueuedConnection);
    };
    const auto checkSize = [Reply, MaxBytes, abortLater]() {
        const qint64 announced = Reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (Reply->isRunning() && (announced > MaxBytes || Reply->bytesAvailable() > MaxBytes))
            abortLater();
    };
    QObject::connect(Reply, &QNetworkReply::metaDataChanged, Reply, checkSize);
    QObject::connect(Reply, &QNetworkReply::readyRead, Reply, checkSize);
    QTimer::singleShot(DeadlineMs, Reply, [Reply]() {
        if (Reply->isRunning())
            Reply->abort();
    });
}

bool isWebUrl(const QUrl &Url)
{
    const QString scheme = Url.scheme().toLower();
    return Url.isValid() && !Url.host().isEmpty() &&
           (scheme == QLatin1String("https") || scheme == QLatin1String("http"));
}

} // namespace shared
