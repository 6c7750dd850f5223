#include "KivrenClient.h"

#include "CancellablePause.h"
#include "JsonMembers.h"
#include "KivrenAPI.h"
#include "KivrenCloudProcess.h"
#include "KivrenIds.h"
#include "SessionMessages.h"
#include "SettingsStore.h"

#include <QDateTime>
#include <QJsonArray>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <QVariant>

#include <QCoroTimer>

#include <algorithm>
#include <cmath>

namespace {

const QString viewerRole = QStringLiteral("viewer");

QString transportLabel(Transport transport)
{
    switch (transport) {
    case Transport::lan:
        return QStringLiteral("Direct LAN");
    case Transport::p2p:
        return QStringLiteral("Direct");
    case Transport::relay:
        break;
    }
    return QStringLiteral("Relay");
}

} // namespace

QString KivrenClient::loopbackOrigin()
{
    return KivrenCloudProcess::loopbackOrigin();
}

KivrenClient::KivrenClient(SettingsStore &settings, std::optional<QString> computerName, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_clientName(computerName && !computerName->isEmpty() ? *computerName : QStringLiteral("Mac"))
    , m_status(QStringLiteral("Enter an ID"))
{
    m_cloudURL = m_settings.text(cloudKey).value_or(QString());
    // Without a saved address the transport still needs a base; cloudURL stays empty so a
    // connection attempt asks for the address instead of silently using this one.
    m_api = new KivrenAPI(m_cloudURL.isEmpty() ? loopbackOrigin() : m_cloudURL, this);
    loadBook();
}

KivrenClient::~KivrenClient()
{
    // Abort every request still in flight while the transport is alive; the tasks that were
    // waiting on them see the stop and end without touching this object.
    m_loopStop.request_stop();
    m_lifetime.request_stop();
}

void KivrenClient::setCloudURL(const QString &text)
{
    if (m_cloudURL == text)
        return;
    m_cloudURL = text;
    emit cloudURLChanged(m_cloudURL);
}

void KivrenClient::setRemoteId(const QString &text)
{
    if (m_remoteId == text)
        return;
    m_remoteId = text;
    emit remoteIdChanged(m_remoteId);
}

void KivrenClient::setRemotePassword(const QString &text)
{
    if (m_remotePassword == text)
        return;
    m_remotePassword = text;
    emit remotePasswordChanged(m_remotePassword);
}

void KivrenClient::setPhase(SessionPhase phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    emit phaseChanged(m_phase);
}

void KivrenClient::setStatus(const QString &status)
{
    if (m_status == status)
        return;
    m_status = status;
    emit statusChanged(m_status);
}

void KivrenClient::setTransport(Transport transport)
{
    if (m_transport == transport)
        return;
    m_transport = transport;
    emit transportChanged(m_transport);
}

void KivrenClient::setHostName(const QString &name)
{
    if (m_hostName == name)
        return;
    m_hostName = name;
    emit hostNameChanged(m_hostName);
}

void KivrenClient::setFrame(const QImage &frame)
{
    // Every decoded picture is news; comparing pixels would cost more than the decode.
    if (frame.isNull() && m_frame.isNull())
        return;
    m_frame = frame;
    emit frameChanged(m_frame);
}

void KivrenClient::setRemoteSize(const QSizeF &size)
{
    if (m_remoteSize == size)
        return;
    m_remoteSize = size;
    emit remoteSizeChanged(m_remoteSize);
}

void KivrenClient::setError(const std::optional<QString> &error)
{
    if (m_error == error)
        return;
    m_error = error;
    emit errorChanged(m_error);
}

void KivrenClient::setBook(const QList<BookEntry> &book)
{
    if (m_book == book)
        return;
    m_book = book;
    emit bookChanged(m_book);
}

void KivrenClient::cancelLoop()
{
    m_loopStop.request_stop();
    m_loop.reset();
    // Events still waiting for their turn belong to the session that ends here.
    m_heldPushes.clear();
}

void KivrenClient::connectToRemote()
{
    // 1. What was typed, in compact and display form.
    const QString id = KivrenIds::compactId(m_remoteId);
    const QString password = KivrenIds::formatPassword(m_remotePassword);

    // 2-3. Bad input only changes the status line; a running session goes on.
    if (KivrenIds::characterCount(id) != 9) {
        setStatus(QStringLiteral("Enter a 9-digit ID"));
        return;
    }
    if (KivrenIds::characterCount(KivrenIds::compactPassword(password)) != 8) {
        setStatus(QStringLiteral("Enter the 8-character password"));
        return;
    }

    // 4. The old task ends silently; its session is not closed.
    cancelLoop();

    // 5.
    setPhase(SessionPhase::connecting);
    setStatus(QStringLiteral("Looking up ") + KivrenIds::formatId(id));
    setError(std::nullopt);

    // 6.
    m_loopStop = std::stop_source();
    m_loop.emplace(run(id, password, m_loopStop.get_token()));
}

QCoro::Task<> KivrenClient::run(QString id, QString password, std::stop_token stop)
{
    QPointer<KivrenClient> self(this);
    // Whoever cancelled this task (or destroyed the client) owns the state now.
    const auto cancelled = [&stop, &self] { return stop.stop_requested() || !self; };
    const auto fail = [this](const KivrenError &error) {
        setPhase(SessionPhase::failed);
        setError(error.description);
        setStatus(error.description);
    };

    // Like any background task, this one starts on a later pass of the event loop: connect
    // returns with the phase still connecting, and a task replaced before then never starts.
    co_await cancellablePause(std::chrono::milliseconds(0), stop);
    if (cancelled())
        co_return;

    // 1. cloudURL is read now, not when connect was called.
    if (m_cloudURL.isEmpty()) {
        setStatus(QStringLiteral("Save the Mac cloud address once, then connect."));
        setPhase(SessionPhase::failed);
        co_return;
    }

    // 2.
    m_api->setBase(m_cloudURL);

    // 3.
    setPhase(SessionPhase::authenticating);
    setStatus(QStringLiteral("Authenticating"));
    if (cancelled())
        co_return;

    // 4. Lookup.
    const KivrenAnswer lookup = co_await m_api->post(QStringLiteral("lookup"), QJsonObject{{QStringLiteral("id"), id}}, stop);
    if (cancelled())
        co_return;
    if (!lookup.ok()) {
        fail(*lookup.error);
        co_return;
    }
    if (!JsonMembers::boolean(lookup.object, QStringLiteral("found"), false)) {
        fail(KivrenError::kivren(404, QStringLiteral("Unknown ID")));
        co_return;
    }
    if (!JsonMembers::boolean(lookup.object, QStringLiteral("online"), false)) {
        fail(KivrenError::kivren(409, QStringLiteral("That PC is offline")));
        co_return;
    }

    // 5.
    setHostName(JsonMembers::text(lookup.object, QStringLiteral("name"), QStringLiteral("Remote")));
    if (cancelled())
        co_return;

    // 6. Connect.
    const QJsonObject connectBody{
        {QStringLiteral("id"), id},
        {QStringLiteral("password"), password},
        {QStringLiteral("clientName"), m_clientName},
        {QStringLiteral("clientPlatform"), QStringLiteral("macos")},
    };
    const KivrenAnswer opened = co_await m_api->post(QStringLiteral("connect"), connectBody, stop);
    if (cancelled())
        co_return;
    if (!opened.ok()) {
        fail(*opened.error);
        co_return;
    }

    // 7.
    m_sessionId = JsonMembers::text(opened.object, QStringLiteral("sessionId"));
    m_sessionToken = JsonMembers::text(opened.object, QStringLiteral("sessionToken"));
    const QJsonValue transport = opened.object.value(QStringLiteral("transport"));
    if (transport.isString()) {
        if (const auto reported = transportFromRaw(transport.toString()))
            setTransport(*reported);
    }

    // 8.
    remember(id, m_hostName);
    if (cancelled())
        co_return;

    // 9-10.
    m_since = 0;
    setPhase(SessionPhase::live);
    setStatus(QStringLiteral("Connected \u00B7 ") + transportLabel(m_transport));

    // 11. Poll, pause, repeat until cancelled or a poll fails.
    for (;;) {
        if (cancelled())
            co_return;
        const std::optional<KivrenError> failure = co_await poll(stop);
        if (cancelled())
            co_return;
        // 12.
        if (failure) {
            fail(*failure);
            co_return;
        }
        co_await cancellablePause(pollPause, stop);
    }
}

QCoro::Task<std::optional<KivrenError>> KivrenClient::poll(std::stop_token stop)
{
    QPointer<KivrenClient> self(this);
    // 1.
    const QJsonObject body = SessionMessages::pollBody(m_sessionId, m_sessionToken, viewerRole, m_since);
    const KivrenAnswer answer = co_await m_api->post(QStringLiteral("poll"), body, stop);
    if (stop.stop_requested() || !self)
        co_return answer.error;
    if (!answer.ok())
        co_return answer.error;
    // 2-4.
    applyPollAnswer(answer.object, stop);
    co_return std::nullopt;
}

void KivrenClient::applyPollAnswer(const QJsonObject &answer, std::stop_token stop)
{
    QPointer<KivrenClient> self(this);

    // 2.
    if (const auto cursor = cursorFrom(answer.value(QStringLiteral("since"))))
        m_since = *cursor;

    // 3. Each picture is published as soon as it is decoded; an observer may react by
    // disconnecting, after which nothing more of this answer is applied.
    const QList<SessionMessages::Frame> frames = SessionMessages::decodeFrames(answer);
    for (const SessionMessages::Frame &frame : frames) {
        if (stop.stop_requested() || !self)
            return;
        if (frame.kind == SessionMessages::kindJpeg) {
            const QImage picture = m_jpeg.decode(frame.bytes);
            if (!picture.isNull())
                setFrame(picture);
        } else if (frame.kind == SessionMessages::kindJson && frame.message) {
            const QJsonValue width = frame.message->value(QStringLiteral("width"));
            const QJsonValue height = frame.message->value(QStringLiteral("height"));
            if (width.isDouble() && height.isDouble())
                setRemoteSize(QSizeF(width.toDouble(), height.toDouble()));
        }
    }
}

std::optional<qint64> KivrenClient::cursorFrom(const QJsonValue &since)
{
    if (!since.isDouble())
        return std::nullopt;
    // Whole numbers are kept as 64-bit integers by the parser: take them exactly.
    const QVariant exact = since.toVariant();
    if (exact.typeId() == QMetaType::LongLong)
        return exact.toLongLong();
    const double value = std::trunc(since.toDouble());
    // [-2^63, 2^63): the doubles that convert to qint64 without overflow.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(value) || value < -limit || value >= limit)
        return std::nullopt;
    return static_cast<qint64>(value);
}

QCoro::Task<> KivrenClient::pushJSON(QJsonObject message)
{
    QPointer<KivrenClient> self(this);
    const bool barrier = changesButtons(message);
    ++m_pushesInFlight;
    m_barrierInFlight = m_barrierInFlight || barrier;

    // 1-2. The session's credentials as they are now, not when the event was made.
    const QJsonObject body = SessionMessages::pushBody(m_sessionId, m_sessionToken, viewerRole, SessionMessages::kindJson,
                                                       SessionMessages::encodeJsonPayload(message));
    // 3. The answer and any failure are of no interest.
    co_await m_api->post(QStringLiteral("push"), body, m_lifetime.get_token());
    if (!self)
        co_return;
    --m_pushesInFlight;
    if (barrier)
        m_barrierInFlight = false;
    releaseHeldPushes();
}

bool KivrenClient::changesButtons(const QJsonObject &message)
{
    return message.value(QStringLiteral("kind")).toString() != rawText(RemoteInput::Kind::move);
}

bool KivrenClient::mayStartPush(const QJsonObject &message) const
{
    return !m_barrierInFlight && (m_pushesInFlight == 0 || !changesButtons(message));
}

void KivrenClient::startPush(QJsonObject message)
{
    if (m_heldPushes.isEmpty() && mayStartPush(message))
        pushJSON(std::move(message));
    else
        m_heldPushes.append(std::move(message));
}

void KivrenClient::releaseHeldPushes()
{
    while (!m_heldPushes.isEmpty() && mayStartPush(m_heldPushes.first()))
        pushJSON(m_heldPushes.takeFirst());
}

void KivrenClient::send(const RemoteInput &input)
{
    // 1.
    if (m_phase != SessionPhase::live)
        return;
    // 2. All eight members, whatever the kind.
    QJsonObject message{
        {QStringLiteral("type"), QStringLiteral("input")},
        {QStringLiteral("kind"), rawText(input.kind)},
        {QStringLiteral("x"), input.x},
        {QStringLiteral("y"), input.y},
        {QStringLiteral("button"), qint64(input.button)},
        {QStringLiteral("clickCount"), qint64(input.clickCount)},
        {QStringLiteral("deltaX"), input.deltaX},
        {QStringLiteral("deltaY"), input.deltaY},
    };
    // 3. Each event is its own push, started at once unless it must wait for its turn.
    startPush(std::move(message));
}

QCoro::Task<> KivrenClient::postClose(QString sessionId, QString token)
{
    const QJsonObject body{{QStringLiteral("sessionId"), sessionId}, {QStringLiteral("token"), token}};
    co_await m_api->post(QStringLiteral("close"), body, m_lifetime.get_token());
}

void KivrenClient::disconnectFromRemote()
{
    // 1.
    cancelLoop();
    // 2.
    const QString sessionId = std::exchange(m_sessionId, QString());
    const QString token = std::exchange(m_sessionToken, QString());
    // 3.
    setPhase(SessionPhase::idle);
    setStatus(QStringLiteral("Disconnected"));
    setFrame(QImage());
    // 4. Sent even without a session: the switchboard simply refuses it.
    postClose(sessionId, token);
}

void KivrenClient::setCloud(const QString &text)
{
    // 1. White space first, then slashes: " http://host/ " loses all three.
    QString value = text.trimmed();
    qsizetype begin = 0;
    qsizetype end = value.size();
    while (begin < end && value.at(begin) == u'/')
        ++begin;
    while (end > begin && value.at(end - 1) == u'/')
        --end;
    value = value.mid(begin, end - begin);

    // 2-4. An empty address is stored as empty text, not removed.
    setCloudURL(value);
    m_settings.setText(cloudKey, value);
    m_api->setBase(value);
}

void KivrenClient::remember(const QString &id, const QString &name)
{
    // 1-3.
    QList<BookEntry> entries = m_book;
    entries.removeIf([&id](const BookEntry &entry) { return entry.id == id; });
    entries.prepend(BookEntry{id, name, QDateTime::currentDateTimeUtc()});
    if (entries.size() > bookLimit)
        entries.resize(bookLimit);
    // 4.
    setBook(entries);
    // 5.
    m_settings.setBytes(bookKey, BookEntry::encodeList(m_book));
}

void KivrenClient::loadBook()
{
    // A stored book that does not decode is left in place for the next remember to replace.
    const std::optional<QByteArray> stored = m_settings.bytes(bookKey);
    if (!stored)
        return;
    if (auto entries = BookEntry::decodeList(*stored))
        m_book = std::move(*entries);
}
