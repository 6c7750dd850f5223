#include "JsonMembers.h"

#include <QJsonValue>

#include <cmath>

namespace JsonMembers {

QString text(const QJsonObject &object, const QString &key, const QString &fallback)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : fallback;
}

double number(const QJsonObject &object, const QString &key, double fallback)
{
    const QJsonValue value = object.value(key);
    return value.isDouble() ? value.toDouble() : fallback;
}

std::int64_t integer(const QJsonObject &object, const QString &key, std::int64_t fallback)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return fallback;
    const double n = value.toDouble();
    constexpr double limit = 9007199254740992.0; // 2^53: every integer below is exact
    if (!std::isfinite(n) || std::trunc(n) != n || std::fabs(n) > limit)
        return fallback;
    return static_cast<std::int64_t>(n);
}

bool boolean(const QJsonObject &object, const QString &key, bool fallback)
{
    const QJsonValue value = object.value(key);
    return value.isBool() ? value.toBool() : fallback;
}

} // namespace JsonMembers
