#include "SessionMessages.h"

#include "Base64.h"

#include <QJsonDocument>

namespace SessionMessages {

QByteArray encodeJsonPayload(const QJsonObject &message)
{
    return Base64::encode(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

QJsonObject pushBody(const QString &sessionId, const QString &token, const QString &role,
                     const QString &kind, const QByteArray &base64Payload)
{
    return {
        {QStringLiteral("sessionId"), sessionId},
        {QStringLiteral("token"), token},
        {QStringLiteral("role"), role},
        {QStringLiteral("kind"), kind},
        {QStringLiteral("payload"), QString::fromLatin1(base64Payload)},
    };
}

QJsonObject pollBody(const QString &sessionId, const QString &token, const QString &role, qint64 since)
{
    return {
        {QStringLiteral("sessionId"), sessionId},
        {QStringLiteral("token"), token},
        {QStringLiteral("role"), role},
        {QStringLiteral("since"), since},
    };
}

QList<Frame> decodeFrames(const QJsonObject &pollAnswer)
{
    const QJsonValue framesValue = pollAnswer.value(QStringLiteral("frames"));
    if (!framesValue.isArray())
        return {};
    const QJsonArray frames = framesValue.toArray();
    // An array with any non-object element is not a frame list at all: nothing of it is used,
    // so a half-understood answer is never partly applied.
    for (const QJsonValue &element : frames) {
        if (!element.isObject())
            return {};
    }

    QList<Frame> decoded;
    decoded.reserve(frames.size());
    for (const QJsonValue &element : frames) {
        const QJsonObject envelope = element.toObject();
        const QJsonValue kind = envelope.value(QStringLiteral("kind"));
        const QJsonValue payload = envelope.value(QStringLiteral("payload"));
        if (!kind.isString() || !payload.isString())
            continue;
        const QString text = payload.toString();
        std::optional<QByteArray> bytes = Base64::decodeStrict(QStringView(text));
        if (!bytes)
            continue;

        Frame frame{kind.toString(), std::move(*bytes), std::nullopt};
        if (frame.kind == kindJson) {
            const QJsonDocument document = QJsonDocument::fromJson(frame.bytes);
            if (document.isObject())
                frame.message = document.object();
        }
        decoded.append(std::move(frame));
    }
    return decoded;
}

} // namespace SessionMessages
