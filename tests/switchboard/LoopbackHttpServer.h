#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>

#include <chrono>

class QTcpSocket;

// A tiny HTTP/1.1 server on 127.0.0.1, port 0, answering canned replies by request path.
// Connections are kept alive; every request is recorded.
class LoopbackHttpServer : public QObject
{
    Q_OBJECT
public:
    struct Reply
    {
        int status = 200;
        QByteArray body;
        QList<QByteArray> headers; // extra "Name: value" lines
        bool hang = false;         // read the request, never answer
        bool raw = false;          // `body` is the whole answer, no status line or headers
        // The answer goes out `pieceBytes` at a time, one piece every `pieceEvery` (0: at once),
        // and only its first `sentBytes` (-1: all of it): the rest never comes.
        qsizetype pieceBytes = 0;
        std::chrono::milliseconds pieceEvery{0};
        qsizetype sentBytes = -1;

        static Reply with(int status, QByteArray body = {})
        {
            Reply reply;
            reply.status = status;
            reply.body = std::move(body);
            return reply;
        }
        static Reply hanging()
        {
            Reply reply;
            reply.hang = true;
            return reply;
        }
        static Reply redirect(int status, const QByteArray &location)
        {
            Reply reply = with(status);
            reply.headers = {"Location: " + location};
            return reply;
        }
        // Bytes that are no HTTP at all, as another service on the port would send.
        static Reply rawBytes(QByteArray bytes)
        {
            Reply reply = with(200, std::move(bytes));
            reply.raw = true;
            return reply;
        }
        Reply inPieces(qsizetype bytes, std::chrono::milliseconds every) const
        {
            Reply reply = *this;
            reply.pieceBytes = bytes;
            reply.pieceEvery = every;
            return reply;
        }
        Reply stoppingAfter(qsizetype bytes) const
        {
            Reply reply = *this;
            reply.sentBytes = bytes;
            return reply;
        }
    };

    struct Request
    {
        QByteArray requestLine; // "POST /v1/x HTTP/1.1"
        QByteArray method;
        QByteArray path;
        QList<QByteArray> headers;
        QByteArray body;
        QByteArray header(const QByteArray &name) const; // value of the first match, or empty
    };

    LoopbackHttpServer();

    quint16 port() const { return m_server.serverPort(); }
    QString origin() const;
    void route(const QByteArray &path, Reply reply) { m_routes.insert(path, std::move(reply)); }

    const QList<Request> &requests() const { return m_requests; }
    int connectionsAccepted() const { return m_connections; }

private:
    void onReadable(QTcpSocket *socket);
    static void send(QTcpSocket *socket, QByteArray answer, qsizetype pieceBytes, std::chrono::milliseconds every);

    QTcpServer m_server;
    QHash<QByteArray, Reply> m_routes;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QList<Request> m_requests;
    int m_connections = 0;
};
