#include "LoopbackHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 404: return "Not Found";
    case 409: return "Conflict";
    default: return "Status";
    }
}

} // namespace

QByteArray LoopbackHttpServer::Request::header(const QByteArray &name) const
{
    for (const QByteArray &line : headers) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

LoopbackHttpServer::LoopbackHttpServer()
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++m_connections;
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadable(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_pending.remove(socket);
                socket->deleteLater();
            });
        }
    });
    m_server.listen(QHostAddress::LocalHost, 0);
}

QString LoopbackHttpServer::origin() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void LoopbackHttpServer::onReadable(QTcpSocket *socket)
{
    QByteArray &buffer = m_pending[socket];
    buffer += socket->readAll();
    for (;;) {
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        Request request;
        request.requestLine = lines.value(0).trimmed();
        const QList<QByteArray> parts = request.requestLine.split(' ');
        request.method = parts.value(0);
        request.path = parts.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i)
            request.headers.append(lines[i].trimmed());
        const qsizetype length = request.header("Content-Length").toLongLong();
        if (buffer.size() < headEnd + 4 + length)
            return;
        request.body = buffer.mid(headEnd + 4, length);
        buffer.remove(0, headEnd + 4 + length);
        m_requests.append(request);

        const Reply reply = m_routes.value(request.path, Reply::with(404, R"({"error":"no route"})"));
        if (reply.hang)
            continue;
        QByteArray answer;
        if (reply.raw) {
            answer = reply.body;
        } else {
            answer = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
            for (const QByteArray &header : reply.headers)
                answer += header + "\r\n";
            if (reply.status != 204)
                answer += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
            answer += "\r\n";
            if (reply.status != 204)
                answer += reply.body;
        }
        if (reply.sentBytes >= 0)
            answer.truncate(reply.sentBytes);
        send(socket, std::move(answer), reply.pieceBytes, reply.pieceEvery);
    }
}

void LoopbackHttpServer::send(QTcpSocket *socket, QByteArray answer, qsizetype pieceBytes, std::chrono::milliseconds every)
{
    if (pieceBytes <= 0 || every.count() <= 0) {
        socket->write(answer);
        return;
    }
    // The timer goes with the socket; each tick writes the next piece.
    auto *timer = new QTimer(socket);
    auto sent = std::make_shared<qsizetype>(0);
    QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, sent, answer, pieceBytes] {
        socket->write(answer.mid(*sent, pieceBytes));
        *sent += pieceBytes;
        if (*sent >= answer.size())
            timer->deleteLater();
    });
    timer->start(every);
}
