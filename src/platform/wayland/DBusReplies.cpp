#include "DBusReplies.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace DBusReplies {

QString error(const QDBusMessage &reply)
{
    if (reply.type() == QDBusMessage::ReplyMessage)
        return {};
    if (reply.type() == QDBusMessage::ErrorMessage)
        return reply.errorName() + QStringLiteral(": ") + reply.errorMessage();
    return QStringLiteral("no reply");
}

std::optional<QString> objectPath(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    const QVariant first = reply.arguments().constFirst();
    if (!first.canConvert<QDBusObjectPath>())
        return std::nullopt;
    const QString path = first.value<QDBusObjectPath>().path();
    if (path.isEmpty())
        return std::nullopt;
    return path;
}

QVariant variant(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

QVariantMap dictionary(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QVariantMap>())
        return value.toMap();
    if (value.canConvert<QDBusArgument>()) {
        const QDBusArgument argument = value.value<QDBusArgument>();
        if (argument.currentType() == QDBusArgument::MapType)
            return qdbus_cast<QVariantMap>(argument);
    }
    return {};
}

std::optional<QPoint> intPair(const QVariant &value)
{
    if (!value.canConvert<QDBusArgument>())
        return std::nullopt;
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentType() != QDBusArgument::StructureType || argument.currentSignature() != QStringLiteral("(ii)"))
        return std::nullopt;
    int first = 0;
    int second = 0;
    argument.beginStructure();
    argument >> first >> second;
    argument.endStructure();
    return QPoint(first, second);
}

} // namespace DBusReplies
