#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringView>

#include <optional>

// Standard base64 (RFC 4648 alphabet, padded). Decoding is strict: a length that is not a
// multiple of four, a line break, a stray character or misplaced padding rejects the input.
// Table-driven because it sits on every picture's path.
namespace Base64 {

QByteArray encode(QByteArrayView bytes);
std::optional<QByteArray> decodeStrict(QByteArrayView text);
// The same, straight from a JSON string: no Latin-1 copy of a 200 KB payload first.
std::optional<QByteArray> decodeStrict(QStringView text);

} // namespace Base64
