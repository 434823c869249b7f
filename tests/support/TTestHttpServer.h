#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUrl>

#include <optional>
#include <set>

namespace testsupport {

class TTestHttpConnection;

// A small HTTP/1.1 server on 127.0.0.1 for network tests: it listens on a free port from
// construction on, serves bytes by path (from memory or from a directory), records every request
// and can misbehave per path. It answers GET, HEAD and POST, keeps connections alive, serves
// several connections at once and honours single "Range: bytes=..." requests.
//
// Everything runs on the thread that created the server, driven by its event loop (QSignalSpy::wait
// and QTRY_* keep it running). Destroying the server closes the listening socket and drops every
// connection at once.
//
//     TTestHttpServer Server;
//     Server.setFile(QStringLiteral("/a.bin"), Bytes);
//     Server.setFault(QStringLiteral("/b.bin"), TTestHttpServer::TFault::closeAfter(100));
//     Pool.enqueue(Server.url(QStringLiteral("/a.bin")));
//     QCOMPARE(Server.requests(QStringLiteral("/a.bin")).size(), 1);
class TTestHttpServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TTestHttpServer)

public:
    // One request as it arrived.
    struct TRequest
    {
        QByteArray method;                    // "GET", "HEAD", "POST", ...
        QString path;                         // percent-decoded, e.g. "/dir/file.bin"
        QString query;                        // without "?", as sent
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
        int connection = 0; // number of the connection it came on, counting from 1

        QByteArray header(const QByteArray &Name) const { return headers.value(Name.toLower()); }
    };

    // How to answer a path instead of (or on top of) the normal answer. Fields combine: a delay,
    // a replaced body and a status can all apply to one answer. Build one with the helpers below
    // and adjust fields as needed.
    struct TFault
    {
        int statusCode = 0;                // 0: 200, or 404 when nothing is served at the path
        std::optional<QByteArray> body;    // replaces the served bytes (also for error statuses)
        qint64 closeAfterBodyBytes = -1;   // send only this many body bytes, then close
        qint64 declaredContentLength = -1; // announce this Content-Length; closes after the body
        int delayMs = 0;                   // wait before sending anything
        bool neverAnswer = false;          // read the request, then stay silent
        int trickleBytes = 0;              // send the body in pieces of this size ...
        int trickleIntervalMs = 0;         // ... with this pause between them
        QByteArray location;               // redirect target (absolute URL or path)
        QList<QPair<QByteArray, QByteArray>> headers; // extra response headers
        bool endless = false;     // after the head, send body bytes until the client
                                  // leaves (no Content-Length unless declared)
        bool gzip = false;        // gzip the body when the request accepts it, as nginx does
        bool ignoreRange = false; // answer a Range request with 200 and the whole body, as a
                                  // server or cache that knows no ranges does
        qint64 rangeShift = 0;    // answer a Range request with the range this many bytes further
                                  // on, and say so in Content-Range
        int times = -1; // applies to this many further requests of the path; 0 or less: always

        static TFault status(int Code);
        static TFault replaceBody(const QByteArray &Body);
        static TFault closeAfter(qint64 BodyBytes);
        static TFault wrongContentLength(qint64 DeclaredLength);
        static TFault delay(int Milliseconds);
        static TFault hang();
        static TFault trickle(int Bytes, int IntervalMs);
        static TFault redirect(const QByteArray &Location, int Code = 302);
        static TFault endlessBody();
        static TFault gzipEncoded();
        static TFault ignoringRange();
        static TFault shiftedRange(qint64 Bytes);
    };

    // The gzip form of Data, as a server sends it with "Content-Encoding: gzip".
    static QByteArray gzipped(const QByteArray &Data);

    explicit TTestHttpServer(QObject *Parent = nullptr);
    ~TTestHttpServer() override;

    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    // "http://127.0.0.1:<port>"
    QUrl baseUrl() const;
    // The URL of a path on this server; PathAndQuery may carry a query ("/a?x=1").
    QUrl url(const QString &PathAndQuery) const;

    // Serves Data at Path (for GET and HEAD, and as the answer to a POST to Path).
    void setFile(const QString &Path, const QByteArray &Data);
    void removeFile(const QString &Path);
    // Serves the files below Directory for paths not set with setFile(). Paths that would leave
    // the directory are not found. An empty string switches directory serving off.
    void serveDirectory(const QString &Directory);

    void setFault(const QString &Path, const TFault &Fault);
    void clearFault(const QString &Path);
    void clearFaults();

    QList<TRequest> requests() const { return m_requests; }
    QList<TRequest> requests(const QString &Path) const;
    int requestCount(const QString &Path) const { return requests(Path).size(); }
    void clearRequests() { m_requests.clear(); }

    // Connections accepted so far, and those still open.
    int acceptedConnections() const { return m_acceptedConnections; }
    int openConnections() const { return static_cast<int>(m_connections.size()); }
    // Whether the connection with this number (TRequest::connection) is still open.
    bool isConnectionOpen(int Number) const;

signals:
    // After a complete request has been recorded, before it is answered.
    void requestReceived(QString Path);

private:
    friend class TTestHttpConnection;

    struct TAnswer
    {
        QByteArray head;
        QByteArray body; // what is sent after the head (may be cut short)
        bool close = false;
        int delayMs = 0;
        bool neverAnswer = false;
        int trickleBytes = 0;
        int trickleIntervalMs = 0;
        bool endless = false;
    };

    void onNewConnection();
    TAnswer record(TRequest Request);
    std::optional<QByteArray> resource(const QString &Path) const;
    void forget(TTestHttpConnection *Connection);

    QTcpServer m_server;
    QHash<QString, QByteArray> m_files;
    QString m_directory;
    QHash<QString, TFault> m_faults;
    QList<TRequest> m_requests;
    std::set<TTestHttpConnection *> m_connections;
    int m_acceptedConnections = 0;
};

} // namespace testsupport

// Lets test tables carry faults in their rows.
Q_DECLARE_METATYPE(testsupport::TTestHttpServer::TFault)
