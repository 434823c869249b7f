#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

namespace shared {

class TJsonDocumentHttpPostSender;

// Uploads JSON documents through a sender and turns the transport result and the service's JSON
// answer ({"errorCode": n, "errorMessage": "..."}) into success or failure.
class TJsonDocumentUploaderBase : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TJsonDocumentUploaderBase)

public:
    // The answer was not JSON at all.
    static constexpr int ReplyNotJsonErrorCode = -100;

    explicit TJsonDocumentUploaderBase(std::shared_ptr<TJsonDocumentHttpPostSender> Sender);
    ~TJsonDocumentUploaderBase() override;

    // Does nothing without a sender.
    virtual void uploadDocument(const QUrl &url, const QJsonDocument &document);

    const QString &lastErrorMessage() const { return m_lastErrorMessage; }
    int lastErrorCode() const { return m_lastErrorCode; }

signals:
    void finished(bool UploadSuccessful, QJsonDocument ReplyFromServer);

public slots:
    void onFinished(QNetworkReply::NetworkError NetworkErrorCode, QString NetworkErrorString,
                    QByteArray ReplyFromServer);

private:
    std::shared_ptr<TJsonDocumentHttpPostSender> m_sender;
    QString m_lastErrorMessage;
    // 0 for success and for network errors, ReplyNotJsonErrorCode, or the service's errorCode.
    int m_lastErrorCode = 0;
};

} // namespace shared
