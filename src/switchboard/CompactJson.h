#pragma once

#include <QByteArray>
#include <QJsonObject>

// Compact JSON text of an object, byte for byte what QJsonDocument::toJson(Compact) writes for
// any valid text (a lone UTF-16 surrogate becomes '?' here, an escape there), but fast on long
// strings: a picture push carries 200 KB of base64 in one string, and Qt's writer
// (a character at a time, through a UTF-16 copy) cost more than the whole loopback round trip.
namespace CompactJson {

QByteArray write(const QJsonObject &object);
// Appends to `out`, so a caller can reuse a buffer's capacity.
void write(const QJsonObject &object, QByteArray &out);

} // namespace CompactJson
