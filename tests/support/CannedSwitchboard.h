#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// A tiny HTTP server on 127.0.0.1 (port 0) that answers each switchboard path with canned
// JSON, for answers the real switchboard never gives. Requests are recorded in arrival order.
// Keep-alive connections are served request after request, as libcurl reuses them.
class CannedSwitchboard : public QObject
{
    Q_OBJECT
public:
    struct Reply
    {
        int status = 200;
        QByteArray body = "{}";
        // Never answered on its own: releaseHeld() answers it.
        bool hold = false;
    };
    struct Request
    {
        QString path; // without "/v1/"
        QJsonObject body;
        QByteArray bytes; // the body as it arrived
    };

    CannedSwitchboard();

    QString origin() const;

    // The replies for one path, in turn; the last one repeats. A path without replies gets {}.
    void setReplies(const QString &path, QList<Reply> replies);
    void setReply(const QString &path, const QJsonObject &answer, int status = 200);
    void hold(const QString &path);

    QList<Request> requests() const { return m_requests; }
    QList<Request> requests(const QString &path) const;
    int heldCount() const;
    // Answers every held request with the given status and body (connections may be gone).
    void releaseHeld(int status, const QByteArray &body);
    // The same for the requests held on one path only.
    void releaseHeldOf(const QString &path, int status, const QByteArray &body);
    // Connections that brought a held request (answered since or not) and are still open: a
    // client that cancels the request closes its connection.
    int openHeldConnections() const;

private:
    void serve(QTcpSocket *socket);
    void answer(QTcpSocket *socket, int status, const QByteArray &body);

    QTcpServer m_server;
    QHash<QString, QList<Reply>> m_replies;
    QList<Request> m_requests;
    QList<QPointer<QTcpSocket>> m_held;
    QList<QPointer<QTcpSocket>> m_released;
};
