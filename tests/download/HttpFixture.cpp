#include "HttpFixture.h"

#include <QFile>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <limits>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {
constexpr qint64 kHighWater = 256 * 1024; // bytes queued in the socket before waiting
// How soon after a cut a repeated request counts as sent again by the client's network layer.
constexpr qint64 kResendWindowMs = 100;

QByteArray readData(const char* name) {
    QFile file(QStringLiteral(VORN_FIXTURE_DATA "/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("Cannot read the fixture's %s", name);
    return file.readAll();
}
} // namespace

HttpFixture::Response HttpFixture::Response::ok(const QByteArray& body) {
    Response response;
    response.body = body;
    return response;
}

HttpFixture::Response HttpFixture::Response::generated(qint64 size) {
    Response response;
    response.generatedSize = size;
    return response;
}

HttpFixture::Response HttpFixture::Response::error(int status, const QByteArray& reason) {
    Response response;
    response.status = status;
    response.reason = reason;
    response.body = "<html><body>" + reason + "</body></html>";
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/html")));
    return response;
}

HttpFixture::Response HttpFixture::Response::redirect(const QByteArray& location, int status) {
    Response response;
    response.status = status;
    response.reason = status == 301 ? "Moved Permanently" : "Found";
    response.body = "moved";
    response.headers.append(qMakePair(QByteArray("Location"), location));
    return response;
}

char HttpFixture::patternByte(qint64 offset) {
    quint64 v = quint64(offset);
    v ^= v >> 13;
    v *= 0x9E3779B97F4A7C15ull;
    return char(v >> 56);
}

QByteArray HttpFixture::pattern(qint64 offset, qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = patternByte(offset + i);
    return bytes;
}

// One client connection: reads a request head, answers it, closes.
class HttpFixture::Connection : public QObject {
public:
    Connection(HttpFixture* fixture, QTcpSocket* socket)
        : QObject(fixture), m_fixture(fixture), m_socket(socket) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this] { readHead(); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] { feed(); });
        connect(socket, &QTcpSocket::disconnected, this, [this] { close(); });
        readHead();
    }

    void close() {
        if (m_closed)
            return;
        m_closed = true;
        m_fixture->m_connections.removeOne(this);
        m_socket->abort();
        deleteLater();
    }

private:
    void readHead() {
        if (m_answering) {
            m_socket->readAll(); // nothing more is expected
            return;
        }
        m_head += m_socket->readAll();
        const qsizetype end = m_head.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        Request request;
        const QList<QByteArray> lines = m_head.left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
        }
        m_answering = true;
        m_path = request.path;
        m_response = m_fixture->responseFor(request);
        m_fixture->served(this, request);
        answerRange(request);
        if (m_closed)
            return;
        sendHead();
        feed();
    }

    qint64 wholeSize() const {
        if (m_response.endless)
            return std::numeric_limits<qint64>::max();
        return m_response.generatedSize >= 0 ? m_response.generatedSize
                                             : qint64(m_response.body.size());
    }
    qint64 bodySize() const { return m_response.endless ? wholeSize() : wholeSize() - m_offset; }

    // A request for the rest, when the response takes ranges: 206 from the asked offset, 416
    // past the end, the whole body when If-Range names another version.
    void answerRange(const Request& request) {
        const QByteArray range = request.headers.value("range");
        if (!m_response.ranges || !range.startsWith("bytes=") || !range.endsWith('-'))
            return;
        const QByteArray ifRange = request.headers.value("if-range");
        const QByteArray validator =
            m_response.etag.isEmpty() ? m_response.lastModified : m_response.etag;
        if (!ifRange.isEmpty() && ifRange != validator)
            return;
        const qint64 offset = range.mid(6, range.size() - 7).toLongLong();
        const qint64 whole = wholeSize();
        if (offset >= whole) {
            m_response = Response::error(416, "Range Not Satisfiable");
            return;
        }
        m_offset = offset;
        m_response.status = 206;
        m_response.reason = "Partial Content";
        m_response.headers.append(
            qMakePair(QByteArray("Content-Range"), "bytes " + QByteArray::number(offset) + '-' +
                                                       QByteArray::number(whole - 1) + '/' +
                                                       QByteArray::number(whole)));
    }

    void sendHead() {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(m_response.status) + ' ' +
                          m_response.reason + "\r\nConnection: close\r\n";
        switch (m_response.framing) {
        case Response::Framing::ContentLength: {
            const qint64 length = m_response.announcedLength >= 0
                                      ? m_response.announcedLength
                                      : (m_response.endless ? 0 : bodySize());
            head += "Content-Length: " + QByteArray::number(length) + "\r\n";
            break;
        }
        case Response::Framing::Chunked:
            head += "Transfer-Encoding: chunked\r\n";
            break;
        case Response::Framing::UntilClose:
            break;
        }
        if (!m_response.etag.isEmpty())
            head += "ETag: " + m_response.etag + "\r\n";
        if (!m_response.lastModified.isEmpty())
            head += "Last-Modified: " + m_response.lastModified + "\r\n";
        if (m_response.ranges)
            head += "Accept-Ranges: bytes\r\n";
        for (const auto& [name, value] : m_response.headers)
            head += name + ": " + value + "\r\n";
        head += "\r\n";
        m_socket->write(head);
    }

    // Writes the body piece by piece, never queueing much more than kHighWater in the socket.
    void feed() {
        if (!m_answering || m_finished || m_stalled || m_waiting || m_closed)
            return;
        const bool chunked = m_response.framing == Response::Framing::Chunked;
        while (m_socket->bytesToWrite() < kHighWater) {
            if (m_response.cutAfter >= 0 && m_sent >= m_response.cutAfter) {
                m_finished = true;
                m_fixture->cutOff(m_path);
                m_socket->disconnectFromHost();
                return;
            }
            if (m_response.stallAfter >= 0 && m_sent >= m_response.stallAfter) {
                m_stalled = true;
                return;
            }
            const qint64 remaining = bodySize() - m_sent;
            if (remaining <= 0) {
                m_finished = true;
                if (chunked)
                    m_socket->write("0\r\n\r\n");
                m_socket->disconnectFromHost();
                return;
            }
            const qint64 whole = std::min(remaining, std::max<qint64>(1, m_response.pieceSize));
            qint64 piece = whole;
            if (m_response.cutAfter >= 0)
                piece = std::min(piece, m_response.cutAfter - m_sent);
            if (m_response.stallAfter >= 0)
                piece = std::min(piece, m_response.stallAfter - m_sent);
            const QByteArray data = (m_response.generatedSize >= 0 || m_response.endless)
                                        ? pattern(m_offset + m_sent, piece)
                                        : m_response.body.mid(m_offset + m_sent, piece);
            if (!chunked)
                m_socket->write(data);
            else if (piece == whole)
                m_socket->write(QByteArray::number(piece, 16) + "\r\n" + data + "\r\n");
            else // a cut or a stall falls inside the chunk
                m_socket->write(QByteArray::number(whole, 16) + "\r\n" + data);
            m_sent += piece;
            if (m_response.pieceDelayMs > 0) {
                m_waiting = true;
                QTimer::singleShot(m_response.pieceDelayMs, this, [this] {
                    m_waiting = false;
                    feed();
                });
                return;
            }
        }
    }

    HttpFixture* m_fixture;
    QTcpSocket* m_socket;
    QByteArray m_head;
    Response m_response;
    QByteArray m_path;
    qint64 m_offset = 0; // of the body's first byte in the whole (a range)
    qint64 m_sent = 0;
    bool m_answering = false;
    bool m_finished = false;
    bool m_stalled = false;
    bool m_waiting = false;
    bool m_closed = false;
};

HttpFixture::HttpFixture(Transport transport, QObject* parent)
    : QObject(parent), m_transport(transport) {
    if (transport == Transport::Tls) {
        auto server = std::make_unique<QSslServer>();
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(certificate());
        configuration.setPrivateKey(QSslKey(readData("fixture-key.pem"), QSsl::Rsa));
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone); // clients show no certificate
        server->setSslConfiguration(configuration);
        m_server = std::move(server);
    } else {
        m_server = std::make_unique<QTcpServer>();
    }
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this, &HttpFixture::accept);
    m_server->listen(QHostAddress::LocalHost, 0);
}

HttpFixture::~HttpFixture() {
    for (Connection* connection : std::exchange(m_connections, {}))
        delete connection;
}

bool HttpFixture::isListening() const {
    return m_server->isListening();
}

quint16 HttpFixture::port() const {
    return m_server->serverPort();
}

QString HttpFixture::url(const QString& path) const {
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(m_transport == Transport::Tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(port())
        .arg(path);
}

void HttpFixture::route(const QByteArray& path, const Response& response) {
    routeSequence(path, {response});
}

void HttpFixture::routeSequence(const QByteArray& path, const QList<Response>& responses) {
    m_routes.insert(path, Route{responses, 0, {}, {}, {}});
}

HttpFixture::Response HttpFixture::responseFor(const Request& request) {
    const auto route = m_routes.find(request.path);
    if (route == m_routes.end() || route->responses.isEmpty())
        return Response::error(404, "Not Found");
    const QByteArray range = request.headers.value("range");
    const bool resent = route->next > 0 && range == route->lastRange && route->sinceCut.isValid() &&
                        route->sinceCut.elapsed() < kResendWindowMs;
    route->lastRange = range;
    route->sinceCut.invalidate();
    if (!resent)
        route->distinct.append(request);
    const qsizetype index = resent ? route->next - 1 : route->next++;
    return route->responses.at(std::min(index, route->responses.size() - 1));
}

void HttpFixture::cutOff(const QByteArray& path) {
    const auto route = m_routes.find(path);
    if (route != m_routes.end())
        route->sinceCut.start();
}

QList<QByteArray> HttpFixture::requestedPaths() const {
    QList<QByteArray> paths;
    for (const Request& request : m_requests)
        paths.append(request.path);
    return paths;
}

int HttpFixture::requestCount(const QByteArray& path) const {
    return int(std::count_if(m_requests.begin(), m_requests.end(),
                             [&](const Request& request) { return request.path == path; }));
}

int HttpFixture::openConnections() const {
    return int(m_connections.size());
}

quint16 HttpFixture::closedPort() {
    // Bound for the life of the process, never listening: connections are refused, and no other
    // server (nor a client's own end of a connection) can take the port meanwhile.
    static const quint16 port = [] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            qFatal("Cannot reserve a loopback port");
        return quint16(ntohs(address.sin_port));
    }();
    return port;
}

QSslCertificate HttpFixture::certificate() {
    return QSslCertificate(readData("fixture-cert.pem"), QSsl::Pem);
}

void HttpFixture::accept() {
    while (QTcpSocket* socket = m_server->nextPendingConnection())
        m_connections.append(new Connection(this, socket));
}

void HttpFixture::served(Connection*, const Request& request) {
    m_requests.append(request);
    emit requestReceived(request.path);
}
