// A small HTTP server on the loopback interface for tests: serves set responses on a random port,
// plain or over TLS, and records every request. Runs on the thread that made it (the test's), so
// the test must run an event loop while a client talks to it.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QString>
#include <memory>

class QTcpServer;

class HttpFixture : public QObject {
    Q_OBJECT
public:
    struct Response {
        enum class Framing {
            ContentLength, // Content-Length header, the usual case
            Chunked,       // Transfer-Encoding: chunked, no size announced
            UntilClose,    // no size at all: the body ends when the connection closes
        };

        int status = 200;
        QByteArray reason = "OK";
        QList<QPair<QByteArray, QByteArray>> headers; // sent after the fixture's own
        Framing framing = Framing::ContentLength;
        QByteArray body;              // the body, unless generatedSize is set
        qint64 generatedSize = -1;    // >= 0: that many pattern() bytes, made while sending
        qint64 announcedLength = -1;  // >= 0: the Content-Length sent, whatever the body's size
        qint64 cutAfter = -1;         // >= 0: the connection is closed after this many body bytes
        qint64 stallAfter = -1;       // >= 0: nothing more is sent after this many body bytes; the
                                      // connection stays open
        bool endless = false;         // pattern() bytes without end, until the client goes away
        qint64 pieceSize = 16 * 1024; // bytes written at a time
        int pieceDelayMs = 0;         // pause between two pieces of the body
        QByteArray etag;              // sent as ETag when set
        QByteArray lastModified;      // sent as Last-Modified when set
        // Answers "Range: bytes=N-" with the rest (206, or 416 past the end), unless an If-Range
        // names another validator than this response's (then the whole body, 200).
        bool ranges = false;

        static Response ok(const QByteArray& body);
        static Response generated(qint64 size); // pattern() bytes
        static Response error(int status, const QByteArray& reason);
        static Response redirect(const QByteArray& location, int status = 302);
    };

    struct Request {
        QByteArray method;
        QByteArray path;                      // as sent, query included
        QMap<QByteArray, QByteArray> headers; // names in lower case
    };

    enum class Transport { Plain, Tls };

    explicit HttpFixture(Transport transport = Transport::Plain, QObject* parent = nullptr);
    ~HttpFixture() override;

    bool isListening() const;
    quint16 port() const;
    // "http://127.0.0.1:<port>" (or https) followed by `path`.
    QString url(const QString& path = QStringLiteral("/")) const;

    // What `path` answers; paths without a response answer 404.
    void route(const QByteArray& path, const Response& response);
    // The n-th request of `path` gets the n-th response; the last one answers all that follow.
    // A request that repeats the one before right after its answer was cut off gets the same
    // answer: Qt's network layer sends a request again on its own when a connection breaks.
    void routeSequence(const QByteArray& path, const QList<Response>& responses);

    QList<Request> requests() const { return m_requests; }
    // The requests of a path routed with routeSequence() or route(), less those the client's
    // network layer sent again on its own.
    QList<Request> distinctRequests(const QByteArray& path) const {
        return m_routes.value(path).distinct;
    }
    QList<QByteArray> requestedPaths() const;
    int requestCount(const QByteArray& path) const;
    // Connections currently open (stalled ones included).
    int openConnections() const;

    // The deterministic body bytes of generated and endless responses, from `offset` on.
    static QByteArray pattern(qint64 offset, qint64 size);
    static char patternByte(qint64 offset);
    // A loopback port that nothing listens on (held bound, so that nothing can start to).
    static quint16 closedPort();
    // The certificate the TLS fixture presents (for 127.0.0.1); clients must trust it themselves.
    static QSslCertificate certificate();

signals:
    void requestReceived(const QByteArray& path);

private:
    class Connection;
    friend class Connection;
    void accept();
    void served(Connection* connection, const Request& request);
    Response responseFor(const Request& request);
    void cutOff(const QByteArray& path);

    Transport m_transport;
    std::unique_ptr<QTcpServer> m_server;
    struct Route {
        QList<Response> responses;
        qsizetype next = 0;
        QByteArray lastRange;
        QElapsedTimer sinceCut; // of the route's last answer, when it was cut off
        QList<Request> distinct;
    };
    QMap<QByteArray, Route> m_routes;
    QList<Request> m_requests;
    QList<Connection*> m_connections;
};
