#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

namespace shared {

// Thin, replaceable view of one QNetworkReply. The wrapper is a child of its reply, so it never
// outlives it; deleting the wrapper schedules the reply for deletion too, so a finished request
// does not linger in its network access manager until the manager dies.
class QNetworkReplyWrapper : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QNetworkReplyWrapper)

public:
    // Parents itself to Reply (when Reply is not null).
    explicit QNetworkReplyWrapper(QNetworkReply *Reply);
    ~QNetworkReplyWrapper() override;

public slots:
    virtual QNetworkReply::NetworkError error() const;
    virtual QString errorString() const;
    virtual QByteArray readAll();
    // The URL of the request that started the reply; unlike QNetworkReply::url() it does not
    // change when a redirect is followed, so callers can match outcomes with what they asked for.
    virtual QUrl url() const;
    // Bytes received and not read yet: the whole body so far, since the pool reads only at the
    // end. Counts the bytes after any transparent decompression.
    virtual qint64 bytesAvailable() const;
    // The Content-Length the server announced, or -1. Qt drops the header when it inflates a
    // compressed body, since it would describe the bytes on the wire, not the body.
    virtual qint64 contentLength() const;
    // The HTTP status of the answer (200, 206, ...), or 0 before the headers or without HTTP.
    virtual int httpStatusCode() const;
    // A header of the answer as sent, empty when it is absent.
    virtual QByteArray rawHeader(const QByteArray &Name) const;
    // Ends the transfer at once; error() becomes OperationCanceledError and finished() follows.
    virtual void abort();
    // At most Bytes of the body wait unread in the reply (0: no bound); Qt stops reading the
    // connection while the reply holds that much, so the server can send only as fast as the
    // body is taken out with drain().
    virtual void setReadBufferSize(qint64 Bytes);
    // Takes up to MaxBytes of the received body out of the reply into the wrapper's own buffer,
    // making room for more; readAll() and bytesAvailable() include what was taken. Returns the
    // bytes taken.
    virtual qint64 drain(qint64 MaxBytes);
    // The body taken out with drain() so far, from its first byte. Shares the wrapper's buffer:
    // a caller that keeps the copy makes the next drain() copy the whole buffer.
    virtual QByteArray drainedBody() const { return m_drained; }

signals:
    void error(QNetworkReply::NetworkError code);
    void finished();
    void progress(qlonglong BytesReceivedFromRequest);
    // The response headers have arrived (again, after a redirect).
    void metaDataChanged();
    // More body bytes can be read.
    void readyRead();
    // drain() took more of the body into drainedBody().
    void drained();

protected:
    // For substitutes in tests that have no reply behind them.
    QNetworkReplyWrapper() = default;

private:
    QPointer<QNetworkReply> m_reply;
    QByteArray m_drained;
};

} // namespace shared
