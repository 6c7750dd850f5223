#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdint>

// Reading members of received JSON: a missing or mistyped member is never an error by itself,
// it takes the fallback.
namespace JsonMembers {

QString text(const QJsonObject &object, const QString &key, const QString &fallback = {});
double number(const QJsonObject &object, const QString &key, double fallback);
// A JSON number without a fractional part that fits; anything else (a fraction, text, a number
// out of range) takes the fallback.
std::int64_t integer(const QJsonObject &object, const QString &key, std::int64_t fallback);
bool boolean(const QJsonObject &object, const QString &key, bool fallback);

} // namespace JsonMembers
