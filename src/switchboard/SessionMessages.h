#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// The frames carried by "push" and "poll": {"kind": "json" | "jpeg", "payload": base64}.
namespace SessionMessages {

inline const QString kindJson = QStringLiteral("json");
inline const QString kindJpeg = QStringLiteral("jpeg");

// One decoded frame of a poll answer. `bytes` is the decoded payload; `message` is set for
// kind "json" when the bytes parse as a JSON object.
struct Frame
{
    QString kind;
    QByteArray bytes;
    std::optional<QJsonObject> message;
};

// Compact JSON of the message, as base64.
QByteArray encodeJsonPayload(const QJsonObject &message);
// The push request body for one frame.
QJsonObject pushBody(const QString &sessionId, const QString &token, const QString &role,
                     const QString &kind, const QByteArray &base64Payload);
QJsonObject pollBody(const QString &sessionId, const QString &token, const QString &role, qint64 since);

// The frames of a poll answer, in order. "frames" that is missing, not an array, or holds any
// element that is not an object gives no frames at all. A frame whose kind or payload is
// not a string, or whose payload is not strict base64, is left out; the rest still come.
QList<Frame> decodeFrames(const QJsonObject &pollAnswer);

} // namespace SessionMessages
