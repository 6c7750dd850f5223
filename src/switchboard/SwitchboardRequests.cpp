#include "SwitchboardRequests.h"

#include "JsonMembers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QVariant>

#include <algorithm>
#include <cmath>

namespace SwitchboardRequests {

namespace {

// Members, each spelled once.
const QString idKey = QStringLiteral("id");
const QString hostTokenKey = QStringLiteral("hostToken");
const QString passwordKey = QStringLiteral("password");
const QString sessionIdKey = QStringLiteral("sessionId");
const QString tokenKey = QStringLiteral("token");
const QString sessionTokenKey = QStringLiteral("sessionToken");
const QString roleKey = QStringLiteral("role");
const QString originKey = QStringLiteral("origin");
const QString nameKey = QStringLiteral("name");
const QString deviceTokenKey = QStringLiteral("deviceToken");
const QString clientNameKey = QStringLiteral("clientName");
const QString clientPlatformKey = QStringLiteral("clientPlatform");
const QString clientAddressKey = QStringLiteral("clientAddress");
const QString waitMsKey = QStringLiteral("waitMs");
const QString featuresKey = QStringLiteral("features");

bool namesFeature(const QJsonObject &object, const QString &feature)
{
    return object.value(featuresKey).toArray().contains(QJsonValue(feature));
}

QJsonObject sessionMembers(const SessionKeys &keys)
{
    return {{sessionIdKey, keys.id}, {tokenKey, keys.token}};
}

std::optional<QString> optionalText(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

// The hold a connect or claim answer announces ("maxWaitMs"). A fraction is no announcement:
// only a whole number above 0 names a hold.
std::optional<qint64> announcedHold(const QJsonObject &answer)
{
    const QJsonValue maxWait = answer.value(QStringLiteral("maxWaitMs"));
    if (const auto wait = cursorFrom(maxWait); wait && *wait > 0 && double(*wait) == maxWait.toDouble())
        return wait;
    return std::nullopt;
}

} // namespace

ProveAnswer ProveAnswer::fromJson(const QJsonObject &answer)
{
    return {optionalText(answer, QStringLiteral("proof"))};
}

HeartbeatAnswer HeartbeatAnswer::fromJson(const QJsonObject &answer)
{
    HeartbeatAnswer read;
    read.origin = optionalText(answer, originKey);
    const QJsonValue pending = answer.value(QStringLiteral("pending"));
    if (pending.isObject()) {
        const QJsonObject entry = pending.toObject();
        const QJsonValue id = entry.value(sessionIdKey);
        const QJsonValue token = entry.value(sessionTokenKey);
        if (id.isString() && token.isString())
            read.pending = PendingSession{{id.toString(), token.toString()}, optionalText(entry, clientNameKey),
                                          optionalText(entry, clientPlatformKey), optionalText(entry, clientAddressKey),
                                          JsonMembers::boolean(entry, QStringLiteral("e2e"), false)};
    }
    return read;
}

LockoutAnswer LockoutAnswer::fromJson(const QJsonObject &answer)
{
    LockoutAnswer read;
    read.locked = JsonMembers::boolean(answer, QStringLiteral("locked"), false);
    read.waitMs = std::max<qint64>(0, JsonMembers::integer(answer, QStringLiteral("waitMs"), 0));
    read.wrongGuesses = std::max<qint64>(0, JsonMembers::integer(answer, QStringLiteral("wrongGuesses"), 0));
    for (const QJsonValue &value : answer.value(QStringLiteral("attempts")).toArray()) {
        const QJsonObject entry = value.toObject();
        const std::optional<qint64> at = cursorFrom(entry.value(QStringLiteral("at")));
        const std::optional<QString> outcome = optionalText(entry, QStringLiteral("outcome"));
        if (!at || !outcome)
            continue;
        read.attempts.append({*at, *outcome, optionalText(entry, clientNameKey), optionalText(entry, clientPlatformKey),
                              optionalText(entry, clientAddressKey)});
    }
    return read;
}

LookupAnswer LookupAnswer::fromJson(const QJsonObject &answer)
{
    return {JsonMembers::boolean(answer, QStringLiteral("found"), false),
            JsonMembers::boolean(answer, QStringLiteral("online"), false), optionalText(answer, nameKey),
            namesFeature(answer, featureE2e)};
}

ConnectAnswer ConnectAnswer::fromJson(const QJsonObject &answer)
{
    ConnectAnswer read;
    read.keys = {JsonMembers::text(answer, sessionIdKey), JsonMembers::text(answer, sessionTokenKey)};
    if (const std::optional<QString> transport = optionalText(answer, QStringLiteral("transport")))
        read.transport = transportFromRaw(*transport);
    read.deviceToken = JsonMembers::text(answer, deviceTokenKey);
    read.maxWaitMs = announcedHold(answer);
    read.unattended = JsonMembers::boolean(answer, QStringLiteral("unattended"), true);
    return read;
}

ClaimAnswer ClaimAnswer::fromJson(const QJsonObject &answer)
{
    return {announcedHold(answer)};
}

bool pushTaken(const QJsonObject &answer)
{
    return answer.value(QStringLiteral("taken")) != QJsonValue(false);
}

std::optional<qint64> cursorFrom(const QJsonValue &since)
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

std::optional<qint64> pollCursor(const QJsonObject &answer)
{
    return cursorFrom(answer.value(QStringLiteral("since")));
}

std::optional<qint64> peerQuietMs(const QJsonObject &answer)
{
    const std::optional<qint64> quiet = cursorFrom(answer.value(QStringLiteral("peerQuietMs")));
    return quiet && *quiet >= 0 ? quiet : std::nullopt;
}

QJsonObject toJson(const Prove &request)
{
    return {{QStringLiteral("nonce"), QString::fromLatin1(request.nonce)}};
}

QJsonObject toJson(const Register &request)
{
    QJsonObject body{
        {idKey, request.id},
        {nameKey, request.name},
        {QStringLiteral("platform"), request.platform},
        {hostTokenKey, request.hostToken},
        {QStringLiteral("unattended"), request.unattended},
    };
    const bool only = request.encrypted && request.encryptedOnly;
    if (!only)
        body.insert(passwordKey, request.password);
    if (request.encrypted)
        body.insert(featuresKey, only ? QJsonArray{featureE2e, featureE2eOnly} : QJsonArray{featureE2e});
    return body;
}

QJsonObject toJson(const Heartbeat &request)
{
    return {{idKey, request.id}, {hostTokenKey, request.hostToken}};
}

QJsonObject toJson(const Origin &request)
{
    return {{originKey, request.origin}, {idKey, request.id}, {hostTokenKey, request.hostToken}};
}

QJsonObject toJson(const Lockout &request)
{
    QJsonObject body{{idKey, request.id}, {hostTokenKey, request.hostToken}};
    // Left out when false: the call answers as it always did.
    if (request.lift)
        body.insert(QStringLiteral("lift"), true);
    if (request.collect)
        body.insert(QStringLiteral("collect"), true);
    return body;
}

QJsonObject toJson(const Lookup &request)
{
    return {{idKey, request.id}};
}

QJsonObject toJson(const Connect &request)
{
    QJsonObject body{
        {idKey, request.id},
        {clientNameKey, request.clientName},
        {clientPlatformKey, request.clientPlatform},
    };
    // The password never leaves for an encrypted session: the exchange proves it.
    if (request.encrypted)
        body.insert(featuresKey, QJsonArray{featureE2e});
    else
        body.insert(passwordKey, request.password);
    // Only ever what the switchboard handed out: one that never did is sent nothing new.
    if (!request.deviceToken.isEmpty())
        body.insert(deviceTokenKey, request.deviceToken);
    return body;
}

QJsonObject toJson(const Claim &request)
{
    return {{sessionIdKey, request.keys.id}, {sessionTokenKey, request.keys.token}};
}

QJsonObject toJson(const Confirm &request)
{
    return {{hostTokenKey, request.hostToken}, {idKey, request.id}, {sessionIdKey, request.sessionId}};
}

QJsonObject toJson(const Poll &request)
{
    QJsonObject body{
        {sessionIdKey, request.keys.id},
        {tokenKey, request.keys.token},
        {roleKey, SessionProtocol::roleName(request.receiver)},
        {QStringLiteral("since"), request.since},
    };
    if (request.waitMs)
        body.insert(waitMsKey, *request.waitMs);
    return body;
}

QJsonObject toJson(const Close &request)
{
    QJsonObject body = sessionMembers(request.keys);
    if (!request.reason.isEmpty())
        body.insert(QStringLiteral("reason"), request.reason);
    return body;
}

QByteArray toBytes(const Push &request, QByteArray buffer)
{
    // The small members go through Qt's writer, which escapes them; base64 needs no escaping, so
    // the payload, nearly all of a picture push, is copied once and never becomes a QString.
    const QByteArray members = QJsonDocument(QJsonObject{
                                                 {sessionIdKey, request.keys.id},
                                                 {tokenKey, request.keys.token},
                                                 {roleKey, SessionProtocol::roleName(request.sender)},
                                                 {QStringLiteral("kind"), request.frame.kind},
                                             })
                                   .toJson(QJsonDocument::Compact);
    constexpr QByteArrayView payloadOpen = ",\"payload\":\"";
    constexpr QByteArrayView payloadClose = "\"";
    const QByteArrayView open = QByteArrayView(members).chopped(1); // without its closing brace
    const QByteArray wait = request.waitMs ? ",\"waitMs\":" + QByteArray::number(*request.waitMs) : QByteArray();

    buffer.resize(0); // keeps the capacity
    buffer.reserve(open.size() + payloadOpen.size() + request.frame.base64.size() + payloadClose.size() + wait.size() + 1);
    buffer.append(open);
    buffer.append(payloadOpen);
    buffer.append(request.frame.base64);
    buffer.append(payloadClose);
    buffer.append(wait);
    buffer.append('}');
    return buffer;
}

QString pathOf(const Prove &)
{
    return QStringLiteral("prove");
}

QString pathOf(const Register &)
{
    return QStringLiteral("register");
}

QString pathOf(const Heartbeat &)
{
    return QStringLiteral("heartbeat");
}

QString pathOf(const Origin &)
{
    return QStringLiteral("origin");
}

QString pathOf(const Lockout &)
{
    return QStringLiteral("lockout");
}

QString pathOf(const Lookup &)
{
    return QStringLiteral("lookup");
}

QString pathOf(const Connect &)
{
    return QStringLiteral("connect");
}

QString pathOf(const Claim &)
{
    return QStringLiteral("claim");
}

QString pathOf(const Confirm &)
{
    return QStringLiteral("confirm");
}

QString pathOf(const Push &)
{
    return QStringLiteral("push");
}

QString pathOf(const Poll &)
{
    return QStringLiteral("poll");
}

QString pathOf(const Close &)
{
    return QStringLiteral("close");
}

QCoro::Task<KivrenAnswer> post(KivrenAPI &api, const Push &request, std::stop_token stop, QByteArray buffer)
{
    if (!request.waitMs)
        return api.postBytes(pathOf(request), toBytes(request, std::move(buffer)), std::move(stop));
    return api.postBytesHeld(pathOf(request), toBytes(request, std::move(buffer)),
                             std::chrono::milliseconds(*request.waitMs), std::move(stop));
}

QCoro::Task<KivrenAnswer> post(KivrenAPI &api, const Poll &request, std::stop_token stop)
{
    if (!request.waitMs)
        return api.post(pathOf(request), toJson(request), std::move(stop));
    return api.postHeld(pathOf(request), toJson(request), std::chrono::milliseconds(*request.waitMs), std::move(stop));
}

} // namespace SwitchboardRequests
