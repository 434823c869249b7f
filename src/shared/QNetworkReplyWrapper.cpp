#include "QNetworkReplyWrapper.h"

namespace shared {

QNetworkReplyWrapper::QNetworkReplyWrapper(QNetworkReply *Reply) : QObject(Reply), m_reply(Reply)
{
    if (!Reply) {
        return;
    }
    connect(Reply, &QNetworkReply::errorOccurred, this,
            [this](QNetworkReply::NetworkError Code) { emit error(Code); });
    connect(Reply, &QNetworkReply::finished, this, &QNetworkReplyWrapper::finished);
    connect(Reply, &QNetworkReply::downloadProgress, this,
            [this](qint64 BytesReceived, qint64) { emit progress(BytesReceived); });
}

QNetworkReplyWrapper::~QNetworkReplyWrapper()
{
    // m_reply is already null when the reply itself is being destroyed (it deletes us as its
    // child); otherwise we are being discarded by our user and take the reply with us.
    if (m_reply) {
        m_reply->deleteLater();
    }
}

QNetworkReply::NetworkError QNetworkReplyWrapper::error() const
{
    return m_reply ? m_reply->error() : QNetworkReply::UnknownNetworkError;
}

QString QNetworkReplyWrapper::errorString() const
{
    return m_reply ? m_reply->errorString() : QString();
}

QByteArray QNetworkReplyWrapper::readAll()
{
    return m_reply ? m_reply->readAll() : QByteArray();
}

QUrl QNetworkReplyWrapper::url() const
{
    return m_reply ? m_reply->request().url() : QUrl();
}

} // namespace shared
