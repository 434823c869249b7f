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
    connect(Reply, &QNetworkReply::metaDataChanged, this, &QNetworkReplyWrapper::metaDataChanged);
    connect(Reply, &QNetworkReply::readyRead, this, &QNetworkReplyWrapper::readyRead);
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
    QByteArray Data = std::move(m_drained);
    m_drained.clear();
    if (m_reply) {
        Data += m_reply->readAll();
    }
    return Data;
}

QUrl QNetworkReplyWrapper::url() const
{
    return m_reply ? m_reply->request().url() : QUrl();
}

qint64 QNetworkReplyWrapper::bytesAvailable() const
{
    return m_drained.size() + (m_reply ? m_reply->bytesAvailable() : 0);
}

qint64 QNetworkReplyWrapper::contentLength() const
{
    if (!m_reply) {
        return -1;
    }
    bool Ok = false;
    const qint64 Length = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&Ok);
    return Ok ? Length : -1;
}

int QNetworkReplyWrapper::httpStatusCode() const
{
    return m_reply ? m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
}

QByteArray QNetworkReplyWrapper::rawHeader(const QByteArray &Name) const
{
    return m_reply ? m_reply->rawHeader(Name) : QByteArray();
}

void QNetworkReplyWrapper::setReadBufferSize(qint64 Bytes)
{
    if (m_reply) {
        m_reply->setReadBufferSize(Bytes);
    }
}

qint64 QNetworkReplyWrapper::drain(qint64 MaxBytes)
{
    if (!m_reply || MaxBytes <= 0) {
        return 0;
    }
    const QByteArray Data = m_reply->read(MaxBytes);
    m_drained += Data;
    if (!Data.isEmpty()) {
        emit drained();
    }
    return Data.size();
}

void QNetworkReplyWrapper::abort()
{
    if (m_reply) {
        m_reply->abort();
    }
}

} // namespace shared
