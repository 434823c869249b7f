#include "TJsonDocumentHttpPostSender.h"

#include "ReplyBounds.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace shared {

namespace {

// The service answers with a small JSON object; anything longer is not its answer.
constexpr qint64 MaxReplySize = 1024 * 1024;
constexpr int ReplyDeadline = 60000;

} // namespace

TJsonDocumentHttpPostSender::TJsonDocumentHttpPostSender()
    : m_networkAccessManager(std::make_shared<QNetworkAccessManager>())
{
    connect(m_networkAccessManager.get(), &QNetworkAccessManager::finished, this,
            &TJsonDocumentHttpPostSender::onFinished);
}

TJsonDocumentHttpPostSender::~TJsonDocumentHttpPostSender() = default;

void TJsonDocumentHttpPostSender::send(const QUrl &url, const QJsonDocument &document)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    // The collecting service reads the document as the form field "metadata", yet the body is the
    // bare JSON text without a multipart envelope.
    request.setHeader(QNetworkRequest::ContentDispositionHeader,
                      QByteArrayLiteral("form-data; name=\"metadata\""));
    ::shared::boundReply(
        m_networkAccessManager->post(request, document.toJson(QJsonDocument::Compact)),
        MaxReplySize, ReplyDeadline);
}

void TJsonDocumentHttpPostSender::onFinished(QNetworkReply *Reply)
{
    // The bound aborts from the event loop; an answer that arrived whole before then is refused
    // here, unread.
    if (Reply->bytesAvailable() > MaxReplySize) {
        Reply->deleteLater();
        emit finished(QNetworkReply::UnknownContentError,
                      QStringLiteral("The answer is larger than %1 bytes").arg(MaxReplySize),
                      QByteArray());
        return;
    }
    const QByteArray body = Reply->readAll();
    const QNetworkReply::NetworkError code = Reply->error();
    const QString errorString = Reply->errorString();
    Reply->deleteLater();
    emit finished(code, errorString, body);
}

} // namespace shared
