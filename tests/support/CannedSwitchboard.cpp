#include "CannedSwitchboard.h"

#include <QJsonDocument>
#include <QTcpSocket>

CannedSwitchboard::CannedSwitchboard()
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

QString CannedSwitchboard::origin() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
}

void CannedSwitchboard::setReplies(const QString &path, QList<Reply> replies)
{
    m_replies[path] = std::move(replies);
}

void CannedSwitchboard::setReply(const QString &path, const QJsonObject &answer, int status)
{
    setReplies(path, {Reply{status, QJsonDocument(answer).toJson(QJsonDocument::Compact)}});
}

void CannedSwitchboard::hold(const QString &path)
{
    setReplies(path, {Reply{200, "{}", true}});
}

QList<CannedSwitchboard::Request> CannedSwitchboard::requests(const QString &path) const
{
    QList<Request> matching;
    for (const Request &request : m_requests) {
        if (request.path == path)
            matching.append(request);
    }
    return matching;
}

int CannedSwitchboard::heldCount() const
{
    int count = 0;
    for (const auto &socket : m_held)
        count += socket ? 1 : 0;
    return count;
}

void CannedSwitchboard::releaseHeld(int status, const QByteArray &body)
{
    const auto held = std::exchange(m_held, {});
    for (const auto &socket : held) {
        if (socket && socket->state() == QAbstractSocket::ConnectedState)
            answer(socket, status, body);
    }
    m_released.append(held);
}

void CannedSwitchboard::releaseHeldOf(const QString &path, int status, const QByteArray &body)
{
    QList<QPointer<QTcpSocket>> released;
    for (qsizetype i = m_held.size() - 1; i >= 0; --i) {
        if (m_held[i] && m_held[i]->property("heldPath").toString() == path)
            released.prepend(m_held.takeAt(i));
    }
    for (const auto &socket : released) {
        if (socket && socket->state() == QAbstractSocket::ConnectedState)
            answer(socket, status, body);
    }
    m_released.append(released);
}

int CannedSwitchboard::openHeldConnections() const
{
    int count = 0;
    for (const auto &socket : m_held + m_released)
        count += socket && socket->state() == QAbstractSocket::ConnectedState ? 1 : 0;
    return count;
}

void CannedSwitchboard::serve(QTcpSocket *socket)
{
    // A held request keeps its connection: libcurl sends nothing more on it meanwhile.
    QByteArray buffer = socket->property("pending").toByteArray() + socket->readAll();
    for (;;) {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            break;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        qsizetype length = 0;
        for (const QByteArray &line : lines) {
            const QByteArray lower = line.trimmed().toLower();
            if (lower.startsWith("content-length:"))
                length = lower.mid(15).trimmed().toLongLong();
        }
        if (buffer.size() < headerEnd + 4 + length)
            break;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        QString path = QString::fromUtf8(requestLine.value(1));
        path.remove(0, path.lastIndexOf(u'/') + 1);
        const QByteArray body = buffer.mid(headerEnd + 4, length);
        buffer.remove(0, headerEnd + 4 + length);
        m_requests.append({path, QJsonDocument::fromJson(body).object(), body});

        QList<Reply> &queue = m_replies[path];
        const Reply reply = queue.isEmpty() ? Reply{} : (queue.size() > 1 ? queue.takeFirst() : queue.first());
        if (reply.hold) {
            socket->setProperty("heldPath", path);
            m_held.append(socket);
        }
        else
            answer(socket, reply.status, reply.body);
    }
    socket->setProperty("pending", buffer);
}

void CannedSwitchboard::answer(QTcpSocket *socket, int status, const QByteArray &body)
{
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + " Canned\r\n";
    response += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    response += body;
    socket->write(response);
}
