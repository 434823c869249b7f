#include "TJsonDocumentUploaderBase.h"

#include "TJsonDocumentHttpPostSender.h"

#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

namespace shared {

TJsonDocumentUploaderBase::TJsonDocumentUploaderBase(
    std::shared_ptr<TJsonDocumentHttpPostSender> Sender)
    : m_sender(std::move(Sender))
{
    if (m_sender) {
        connect(m_sender.get(), &TJsonDocumentHttpPostSender::finished, this,
                &TJsonDocumentUploaderBase::onFinished);
    }
}

TJsonDocumentUploaderBase::~TJsonDocumentUploaderBase() = default;

void TJsonDocumentUploaderBase::uploadDocument(const QUrl &url, const QJsonDocument &document)
{
    if (m_sender)
        m_sender->send(url, document);
}

void TJsonDocumentUploaderBase::onFinished(QNetworkReply::NetworkError NetworkErrorCode,
                                           QString NetworkErrorString, QByteArray ReplyFromServer)
{
    m_lastErrorMessage.clear();
    m_lastErrorCode = 0;
    QJsonDocument reply;
    bool successful = false;

    if (NetworkErrorCode != QNetworkReply::NoError) {
        m_lastErrorMessage = NetworkErrorString;
    } else {
        QJsonParseError parseError;
        const QJsonDocument parsed = QJsonDocument::fromJson(ReplyFromServer, &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            m_lastErrorMessage = parseError.errorString();
            m_lastErrorCode = ReplyNotJsonErrorCode;
        } else {
            // An array answer has no errorCode in its (empty) object view and so counts as
            // success.
            const QJsonObject answer = parsed.object();
            const int errorCode = answer.value(QLatin1String("errorCode")).toInt();
            if (errorCode == 0) {
                successful = true;
            } else {
                m_lastErrorMessage = answer.value(QLatin1String("errorMessage")).toString();
                m_lastErrorCode = errorCode;
            }
            reply = parsed;
        }
    }
    emit finished(successful, reply);
}

} // namespace shared
