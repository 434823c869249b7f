#include "TJsonDocumentHttpPostSender.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace shared {

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
    m_networkAccessManager->post(request, document.toJson(QJsonDocument::Compact));
}

void TJsonDocumentHttpPostSender::onFinished(QNetworkReply *Reply)
{
    const QByteArray body = Reply->readAll();
    const QNetworkReply::NetworkError code = Reply->error();
    const QString errorString = Reply->errorString();
    Reply->deleteLater();
    emit finished(code, errorString, body);
}

} // namespace shared
