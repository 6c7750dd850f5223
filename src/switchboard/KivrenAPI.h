#pragma once

#include "KivrenAnswer.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <QCoroTask>

#include <chrono>
#include <stop_token>

// The one switchboard request transport: POST of a JSON object to base + "/v1/" + path,
// answered by a JSON object or an error value. Built on one process-wide libcurl multi handle
// driven by the Qt event loop (connections kept alive and reused). Main thread only.
// Several requests of one owner may be in flight at once.
class KivrenAPI : public QObject
{
    Q_OBJECT
public:
    // How long connecting may take, and how long an exchange may then go without one byte
    // sent or received. There is no bound on the whole exchange: a large answer over a slow
    // link still arrives.
    static constexpr std::chrono::milliseconds defaultTimeout{12000};
    // What a request the switchboard may hold gets beyond its hold before it counts as stalled:
    // the round trip and the answer's own way back.
    static constexpr std::chrono::milliseconds heldMargin{5000};

    explicit KivrenAPI(const QString &base, QObject *parent = nullptr);
    ~KivrenAPI() override;

    QString base() const;
    // Every leading and trailing "/" is removed.
    void setBase(const QString &base);

    // The request uses the base read when it starts. A stop requested on `stop` (from any
    // thread) removes the transfer at once and ends the task with KivrenError::cancelled.
    // The task never throws. The timeout ends it when connecting, or any stretch of the exchange
    // afterwards (redirects included), goes that long without progress; redirects are followed, a POST turning into a GET on 301, 302 and 303 and staying a
    // POST on 307 and 308. The owner may be destroyed while its requests run.
    QCoro::Task<KivrenAnswer> post(QString path, QJsonObject body, std::stop_token stop = {});
    // The same with a body already written as compact JSON text, sent byte for byte (a picture
    // push, whose body is built straight into bytes).
    QCoro::Task<KivrenAnswer> postBytes(QString path, QByteArray body, std::stop_token stop = {});
    // The same for a request the switchboard may hold up to `hold` before it answers (a long
    // poll): no progress is expected for that long, so the timeout is the hold plus heldMargin
    // (never less than the usual one).
    QCoro::Task<KivrenAnswer> postHeld(QString path, QJsonObject body, std::chrono::milliseconds hold,
                                       std::stop_token stop = {});
    // Both: a body written already, held up to `hold` (a paced push).
    QCoro::Task<KivrenAnswer> postBytesHeld(QString path, QByteArray body, std::chrono::milliseconds hold,
                                            std::stop_token stop = {});
    // An empty buffer that may keep the capacity of an earlier request body: a large body built
    // in it touches no fresh memory. Main thread only.
    static QByteArray bodyBuffer();

    // Tests shorten the 12 s timeout (connecting, and each stretch without progress).
    void setTimeout(std::chrono::milliseconds timeout);
    // A header sent with every later request of this transport ("Name", "value"; a second call
    // with the same name replaces it). Requests that carry one do not follow redirects: a
    // header meant for the base must never reach another address.
    void setHeader(const QByteArray &name, const QByteArray &value);

    static QString trimmedBase(const QString &text);

private:
    QCoro::Task<KivrenAnswer> send(QString path, QByteArray body, std::chrono::milliseconds stallTimeout,
                                   std::stop_token stop);

    QString m_base;
    std::chrono::milliseconds m_timeout = defaultTimeout;
    QList<QPair<QByteArray, QByteArray>> m_headers;
};
