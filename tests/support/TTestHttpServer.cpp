#include "TTestHttpServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <zlib.h>

#include <algorithm>

namespace testsupport {

namespace {

// A request head larger than this is treated as garbage rather than buffered for ever.
constexpr int MaxHeadSize = 64 * 1024;
// An endless body is written in pieces of this size while the socket has less than
// EndlessBacklog bytes waiting, so the server itself does not fill up its memory.
constexpr int EndlessPiece = 64 * 1024;
constexpr qint64 EndlessBacklog = 256 * 1024;

QString normalisedPath(const QString &Path)
{
    return Path.startsWith(QLatin1Char('/')) ? Path : QLatin1Char('/') + Path;
}

QByteArray reasonPhrase(int Code)
{
    switch (Code) {
    case 200:
        return QByteArrayLiteral("OK");
    case 206:
        return QByteArrayLiteral("Partial Content");
    case 301:
        return QByteArrayLiteral("Moved Permanently");
    case 302:
        return QByteArrayLiteral("Found");
    case 303:
        return QByteArrayLiteral("See Other");
    case 307:
        return QByteArrayLiteral("Temporary Redirect");
    case 308:
        return QByteArrayLiteral("Permanent Redirect");
    case 400:
        return QByteArrayLiteral("Bad Request");
    case 401:
        return QByteArrayLiteral("Unauthorized");
    case 403:
        return QByteArrayLiteral("Forbidden");
    case 404:
        return QByteArrayLiteral("Not Found");
    case 405:
        return QByteArrayLiteral("Method Not Allowed");
    case 411:
        return QByteArrayLiteral("Length Required");
    case 416:
        return QByteArrayLiteral("Range Not Satisfiable");
    case 500:
        return QByteArrayLiteral("Internal Server Error");
    case 502:
        return QByteArrayLiteral("Bad Gateway");
    case 503:
        return QByteArrayLiteral("Service Unavailable");
    default:
        return QByteArrayLiteral("Status");
    }
}

// Parses "bytes=a-b", "bytes=a-" and "bytes=-n" against a body of Size bytes. Returns false for
// anything it does not understand (then the whole body is sent, as HTTP allows).
bool parseRange(const QByteArray &Header, qint64 Size, qint64 &First, qint64 &Last,
                bool &Satisfiable)
{
    const QByteArray Value = Header.trimmed();
    if (!Value.startsWith("bytes=") || Value.contains(',')) {
        return false;
    }
    const QByteArray RangeSet = Value.mid(6);
    const int Dash = RangeSet.indexOf('-');
    if (Dash < 0) {
        return false;
    }
    bool FirstOk = true;
    bool LastOk = true;
    const QByteArray FirstText = RangeSet.left(Dash).trimmed();
    const QByteArray LastText = RangeSet.mid(Dash + 1).trimmed();
    if (FirstText.isEmpty()) {
        const qint64 Suffix = LastText.toLongLong(&LastOk);
        if (!LastOk || Suffix < 0) {
            return false;
        }
        First = std::max<qint64>(0, Size - Suffix);
        Last = Size - 1;
        Satisfiable = Suffix > 0 && Size > 0;
        return true;
    }
    First = FirstText.toLongLong(&FirstOk);
    Last = LastText.isEmpty() ? Size - 1 : LastText.toLongLong(&LastOk);
    if (!FirstOk || !LastOk || First < 0 || Last < First) {
        return false;
    }
    Last = std::min(Last, Size - 1);
    Satisfiable = First < Size;
    return true;
}

} // namespace

TTestHttpServer::TFault TTestHttpServer::TFault::status(int Code)
{
    TFault Fault;
    Fault.statusCode = Code;
    return Fault;
}

TTestHttpServer::TFault TTestHttpServer::TFault::replaceBody(const QByteArray &Body)
{
    TFault Fault;
    Fault.body = Body;
    return Fault;
}

TTestHttpServer::TFault TTestHttpServer::TFault::closeAfter(qint64 BodyBytes)
{
    TFault Fault;
    Fault.closeAfterBodyBytes = BodyBytes;
    return Fault;
}

TTestHttpServer::TFault TTestHttpServer::TFault::wrongContentLength(qint64 DeclaredLength)
{
    TFault Fault;
    Fault.declaredContentLength = DeclaredLength;
    return Fault;
}

TTestHttpServer::TFault TTestHttpServer::TFault::delay(int Milliseconds)
{
    TFault Fault;
    Fault.delayMs = Milliseconds;
    return Fault;
}

TTestHttpServer::TFault TTestHttpServer::TFault::hang()
{
    TFault Fault;
    Fault.neverAnswer = true;
    return Fault;
}

TTestHttpServer::TFault TTestHttpServer::TFault::trickle(int Bytes, int IntervalMs)
{
    TFault Fault;
    Fault.trickleBytes = Bytes;
    Fault.trickleIntervalMs = IntervalMs;
    return Fault;
}

TTestHttpServer::TFault TTestHttpServer::TFault::redirect(const QByteArray &Location, int Code)
{
    TFault Fault;
    Fault.statusCode = Code;
    Fault.location = Location;
    return Fault;
}

TTestHttpServer::TFault TTestHttpServer::TFault::endlessBody()
{
    TFault Fault;
    Fault.endless = true;
    return Fault;
}

TTestHttpServer::TFault TTestHttpServer::TFault::gzipEncoded()
{
    TFault Fault;
    Fault.gzip = true;
    return Fault;
}

TTestHttpServer::TFault TTestHttpServer::TFault::ignoringRange()
{
    TFault Fault;
    Fault.ignoreRange = true;
    return Fault;
}

TTestHttpServer::TFault TTestHttpServer::TFault::shiftedRange(qint64 Bytes)
{
    TFault Fault;
    Fault.rangeShift = Bytes;
    return Fault;
}

QByteArray TTestHttpServer::gzipped(const QByteArray &Data)
{
    z_stream Stream{};
    // 15 window bits plus 16: a gzip header and trailer instead of zlib's.
    if (deflateInit2(&Stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return QByteArray();
    }
    QByteArray Out(static_cast<int>(deflateBound(&Stream, static_cast<uLong>(Data.size()))), 0);
    Stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(Data.constData()));
    Stream.avail_in = static_cast<uInt>(Data.size());
    Stream.next_out = reinterpret_cast<Bytef *>(Out.data());
    Stream.avail_out = static_cast<uInt>(Out.size());
    const int Result = deflate(&Stream, Z_FINISH);
    Out.resize(static_cast<int>(Stream.total_out));
    deflateEnd(&Stream);
    return Result == Z_STREAM_END ? Out : QByteArray();
}

// One accepted connection: reads requests one after the other and writes their answers.
class TTestHttpConnection final : public QObject
{
public:
    TTestHttpConnection(TTestHttpServer &Server, QTcpSocket *Socket, int Number)
        : QObject(&Server), m_server(Server), m_socket(Socket), m_number(Number)
    {
        m_socket->setParent(this);
        m_timer.setSingleShot(true);
        connect(m_socket, &QTcpSocket::readyRead, this, &TTestHttpConnection::processInput);
        connect(m_socket, &QTcpSocket::disconnected, this, &TTestHttpConnection::drop);
        connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
            if (m_socket->state() != QAbstractSocket::ConnectedState) {
                drop();
            }
        });
        connect(&m_timer, &QTimer::timeout, this, &TTestHttpConnection::sendMore);
        connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
            if (m_answering && m_headSent && m_answer.endless) {
                sendMore();
            }
        });
    }

    ~TTestHttpConnection() override
    {
        m_timer.stop();
        m_socket->disconnect(this);
        m_socket->abort();
    }

    Q_DISABLE_COPY(TTestHttpConnection)

    int number() const { return m_number; }

    void processInput()
    {
        if (m_dropped) {
            return;
        }
        m_input.append(m_socket->readAll());
        // One request at a time; pipelined ones wait in m_input until this answer is out.
        while (!m_answering && !m_dropped) {
            TTestHttpServer::TRequest Request;
            const int Parsed = parse(Request);
            if (Parsed == 0) {
                return;
            }
            if (Parsed < 0) {
                m_answering = true;
                m_socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"
                                "Connection: close\r\n\r\n");
                m_socket->disconnectFromHost();
                return;
            }
            const QString Path = Request.path;
            m_answer = m_server.record(std::move(Request));
            m_answering = true;
            m_sentBody = 0;
            m_headSent = false;
            emit m_server.requestReceived(Path);
            if (m_dropped || m_answer.neverAnswer) {
                return;
            }
            if (m_answer.delayMs > 0) {
                m_timer.start(m_answer.delayMs);
            } else {
                sendMore();
            }
        }
    }

private:
    // 1: a complete request was taken from m_input; 0: more bytes needed; -1: malformed.
    int parse(TTestHttpServer::TRequest &Request)
    {
        const int HeadEnd = m_input.indexOf("\r\n\r\n");
        if (HeadEnd < 0) {
            return m_input.size() > MaxHeadSize ? -1 : 0;
        }
        const QList<QByteArray> Lines = m_input.left(HeadEnd).split('\n');
        const QList<QByteArray> RequestLine = Lines.first().trimmed().split(' ');
        if (RequestLine.size() != 3 || !RequestLine.at(2).startsWith("HTTP/1.")) {
            return -1;
        }
        Request.method = RequestLine.at(0);
        const QUrl Target = QUrl::fromEncoded(RequestLine.at(1));
        Request.path = Target.path();
        Request.query = Target.query(QUrl::FullyEncoded);
        for (int I = 1; I < Lines.size(); ++I) {
            const QByteArray Line = Lines.at(I).trimmed();
            const int Colon = Line.indexOf(':');
            if (Colon <= 0) {
                return -1;
            }
            Request.headers.insert(Line.left(Colon).trimmed().toLower(),
                                   Line.mid(Colon + 1).trimmed());
        }
        if (!Request.header("transfer-encoding").isEmpty()) {
            // Chunked request bodies are not supported; nothing the launcher sends uses them.
            return -1;
        }
        bool LengthOk = true;
        const QByteArray LengthText = Request.header("content-length");
        const qint64 Length = LengthText.isEmpty() ? 0 : LengthText.toLongLong(&LengthOk);
        if (!LengthOk || Length < 0) {
            return -1;
        }
        const qint64 BodyStart = HeadEnd + 4;
        if (m_input.size() - BodyStart < Length) {
            return 0;
        }
        Request.body = m_input.mid(static_cast<int>(BodyStart), static_cast<int>(Length));
        Request.connection = m_number;
        m_input.remove(0, static_cast<int>(BodyStart + Length));
        return 1;
    }

    void sendMore()
    {
        if (m_dropped) {
            return;
        }
        if (!m_headSent) {
            m_socket->write(m_answer.head);
            m_headSent = true;
        }
        if (m_answer.endless) {
            // Until the client goes away; bytesWritten() asks for more.
            const QByteArray Piece(EndlessPiece, 'e');
            while (m_socket->state() == QAbstractSocket::ConnectedState &&
                   m_socket->bytesToWrite() < EndlessBacklog) {
                if (m_socket->write(Piece) < 0) {
                    break;
                }
            }
            return;
        }
        const qint64 Remaining = m_answer.body.size() - m_sentBody;
        const qint64 Piece = m_answer.trickleBytes > 0
                                 ? std::min<qint64>(m_answer.trickleBytes, Remaining)
                                 : Remaining;
        if (Piece > 0) {
            m_socket->write(m_answer.body.constData() + m_sentBody, Piece);
            m_sentBody += Piece;
        }
        if (m_sentBody < m_answer.body.size()) {
            m_timer.start(m_answer.trickleIntervalMs);
            return;
        }
        finishAnswer();
    }

    void finishAnswer()
    {
        if (m_answer.close) {
            // Graceful: what was written still reaches the client before the FIN.
            m_socket->disconnectFromHost();
            return;
        }
        m_answering = false;
        m_answer = {};
        if (!m_input.isEmpty()) {
            QTimer::singleShot(0, this, &TTestHttpConnection::processInput);
        }
    }

    void drop()
    {
        if (m_dropped) {
            return;
        }
        m_dropped = true;
        m_timer.stop();
        m_server.forget(this);
        deleteLater();
    }

    TTestHttpServer &m_server;
    QTcpSocket *m_socket = nullptr;
    const int m_number = 0;
    QTimer m_timer;
    QByteArray m_input;
    TTestHttpServer::TAnswer m_answer;
    qint64 m_sentBody = 0;
    bool m_headSent = false;
    bool m_answering = false;
    bool m_dropped = false;
};

TTestHttpServer::TTestHttpServer(QObject *Parent) : QObject(Parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TTestHttpServer::onNewConnection);
    m_server.listen(QHostAddress::LocalHost, 0);
}

TTestHttpServer::~TTestHttpServer()
{
    m_server.close();
    // Delete the connections while the server is still whole; their sockets go with them.
    const std::set<TTestHttpConnection *> Connections = std::move(m_connections);
    m_connections.clear();
    for (TTestHttpConnection *Connection : Connections) {
        delete Connection;
    }
}

QUrl TTestHttpServer::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()));
}

QUrl TTestHttpServer::url(const QString &PathAndQuery) const
{
    return QUrl(baseUrl().toString() + normalisedPath(PathAndQuery));
}

void TTestHttpServer::setFile(const QString &Path, const QByteArray &Data)
{
    m_files.insert(normalisedPath(Path), Data);
}

void TTestHttpServer::removeFile(const QString &Path)
{
    m_files.remove(normalisedPath(Path));
}

void TTestHttpServer::serveDirectory(const QString &Directory)
{
    m_directory = Directory.isEmpty() ? QString() : QDir(Directory).absolutePath();
}

void TTestHttpServer::setFault(const QString &Path, const TFault &Fault)
{
    m_faults.insert(normalisedPath(Path), Fault);
}

void TTestHttpServer::clearFault(const QString &Path)
{
    m_faults.remove(normalisedPath(Path));
}

void TTestHttpServer::clearFaults()
{
    m_faults.clear();
}

QList<TTestHttpServer::TRequest> TTestHttpServer::requests(const QString &Path) const
{
    const QString Wanted = normalisedPath(Path);
    QList<TRequest> Found;
    for (const TRequest &Request : m_requests) {
        if (Request.path == Wanted) {
            Found.append(Request);
        }
    }
    return Found;
}

void TTestHttpServer::onNewConnection()
{
    while (QTcpSocket *Socket = m_server.nextPendingConnection()) {
        auto *Connection = new TTestHttpConnection(*this, Socket, ++m_acceptedConnections);
        m_connections.insert(Connection);
        // Bytes may already be waiting.
        QTimer::singleShot(0, Connection, &TTestHttpConnection::processInput);
    }
}

bool TTestHttpServer::isConnectionOpen(int Number) const
{
    return std::any_of(
        m_connections.cbegin(), m_connections.cend(),
        [Number](const TTestHttpConnection *Connection) { return Connection->number() == Number; });
}

void TTestHttpServer::forget(TTestHttpConnection *Connection)
{
    m_connections.erase(Connection);
}

std::optional<QByteArray> TTestHttpServer::resource(const QString &Path) const
{
    const auto It = m_files.constFind(Path);
    if (It != m_files.cend()) {
        return *It;
    }
    if (m_directory.isEmpty()) {
        return std::nullopt;
    }
    const QString FilePath = QDir::cleanPath(m_directory + Path);
    if (!FilePath.startsWith(m_directory + QLatin1Char('/')) || !QFileInfo(FilePath).isFile()) {
        return std::nullopt;
    }
    QFile File(FilePath);
    if (!File.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return File.readAll();
}

TTestHttpServer::TAnswer TTestHttpServer::record(TRequest Request)
{
    m_requests.append(Request);

    TFault Fault;
    const auto FaultIt = m_faults.find(Request.path);
    if (FaultIt != m_faults.end()) {
        Fault = *FaultIt;
        if (FaultIt->times > 0 && --FaultIt->times == 0) {
            m_faults.erase(FaultIt);
        }
    }

    const bool KnownMethod =
        Request.method == "GET" || Request.method == "HEAD" || Request.method == "POST";
    const std::optional<QByteArray> Served = resource(Request.path);
    int Status = 200;
    QByteArray Body;
    if (!KnownMethod) {
        Status = 405;
    } else if (Fault.statusCode != 0) {
        Status = Fault.statusCode;
        Body = Fault.body ? *Fault.body : (Served && Status < 300 ? *Served : reasonPhrase(Status));
    } else if (Fault.body) {
        Body = *Fault.body;
    } else if (Served) {
        Body = *Served;
    } else {
        Status = 404;
        Body = reasonPhrase(Status);
    }

    QList<QPair<QByteArray, QByteArray>> Headers = Fault.headers;
    if (Fault.gzip && Request.header("accept-encoding").contains("gzip")) {
        Body = gzipped(Body);
        Headers.append({QByteArrayLiteral("Content-Encoding"), QByteArrayLiteral("gzip")});
    }
    if (!Fault.location.isEmpty()) {
        Headers.append({QByteArrayLiteral("Location"), Fault.location});
    }
    Headers.append({QByteArrayLiteral("Accept-Ranges"), QByteArrayLiteral("bytes")});
    if (Status == 200 && Request.method != "POST" && Request.headers.contains("range") &&
        !Fault.ignoreRange) {
        qint64 First = 0;
        qint64 Last = 0;
        bool Satisfiable = false;
        if (parseRange(Request.header("range"), Body.size(), First, Last, Satisfiable)) {
            First = std::clamp<qint64>(First + Fault.rangeShift, 0, Body.size());
            Last = std::clamp<qint64>(Last + Fault.rangeShift, First, Body.size() - 1);
            Satisfiable = Satisfiable && First < Body.size();
            if (Satisfiable) {
                Headers.append({QByteArrayLiteral("Content-Range"),
                                QByteArrayLiteral("bytes ") + QByteArray::number(First) + '-' +
                                    QByteArray::number(Last) + '/' +
                                    QByteArray::number(Body.size())});
                Status = 206;
                Body = Body.mid(static_cast<int>(First), static_cast<int>(Last - First + 1));
            } else {
                Headers.append({QByteArrayLiteral("Content-Range"),
                                QByteArrayLiteral("bytes */") + QByteArray::number(Body.size())});
                Status = 416;
                Body.clear();
            }
        }
    }

    TAnswer Answer;
    const bool ClientCloses = Request.header("connection").toLower() == "close";
    const qint64 DeclaredLength =
        Fault.declaredContentLength >= 0 ? Fault.declaredContentLength : Body.size();
    Answer.close = ClientCloses || Fault.declaredContentLength >= 0 ||
                   Fault.closeAfterBodyBytes >= 0 || Fault.endless;
    Answer.endless = Fault.endless && Request.method != "HEAD";
    Answer.delayMs = Fault.delayMs;
    Answer.neverAnswer = Fault.neverAnswer;
    Answer.trickleBytes = Fault.trickleBytes;
    Answer.trickleIntervalMs = Fault.trickleIntervalMs;

    QByteArray Head =
        "HTTP/1.1 " + QByteArray::number(Status) + ' ' + reasonPhrase(Status) + "\r\n";
    if (!Fault.endless || Fault.declaredContentLength >= 0) {
        Head += "Content-Length: " + QByteArray::number(DeclaredLength) + "\r\n";
    }
    const bool HasContentType =
        std::any_of(Headers.cbegin(), Headers.cend(),
                    [](const auto &Header) { return Header.first.toLower() == "content-type"; });
    if (!HasContentType) {
        Head += "Content-Type: application/octet-stream\r\n";
    }
    for (const auto &Header : qAsConst(Headers)) {
        Head += Header.first + ": " + Header.second + "\r\n";
    }
    Head += Answer.close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    Head += "\r\n";
    Answer.head = Head;

    if (Request.method != "HEAD") {
        Answer.body = Fault.closeAfterBodyBytes >= 0
                          ? Body.left(static_cast<int>(Fault.closeAfterBodyBytes))
                          : Body;
    }
    return Answer;
}

} // namespace testsupport
