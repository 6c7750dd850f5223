#pragma once

#include <QDBusMessage>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// Reading the D-Bus answers of the desktop's services: what a reply carries, or why it failed.
namespace DBusReplies {

// Empty when `reply` is a method return; else the error's name and message.
QString error(const QDBusMessage &reply);

// The reply's first argument, when it has one of the wanted type.
std::optional<QString> objectPath(const QDBusMessage &reply);
// The value inside a variant reply (Properties.Get).
QVariant variant(const QDBusMessage &reply);

// An a{sv} carried in a variant or a D-Bus argument.
QVariantMap dictionary(const QVariant &value);
// An (ii) carried in a variant.
std::optional<QPoint> intPair(const QVariant &value);

} // namespace DBusReplies
