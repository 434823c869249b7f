#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;

namespace shared {

// Posts one JSON document per send() to a collecting web service and reports every reply as one
// finished() signal. Replies are not matched to requests: several sends may be in flight.
class TJsonDocumentHttpPostSender : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TJsonDocumentHttpPostSender)

public:
    TJsonDocumentHttpPostSender();
    ~TJsonDocumentHttpPostSender() override;

    virtual void send(const QUrl &url, const QJsonDocument &document);

signals:
    void finished(QNetworkReply::NetworkError NetworkErrorCode, QString NetworkErrorString,
                  QByteArray ReplyFromServer);

public slots:
    void onFinished(QNetworkReply *Reply);

private:
    // A manager of its own, so telemetry never competes with the download pool's connections.
    std::shared_ptr<QNetworkAccessManager> m_networkAccessManager;
};

} // namespace shared
