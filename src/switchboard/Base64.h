#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// Standard base64 (RFC 4648 alphabet, padded). Decoding is strict: a length that is not a
// multiple of four, a line break, a stray character or misplaced padding rejects the input.
// Table-driven because it sits on every picture's path.
namespace Base64 {

QByteArray encode(QByteArrayView bytes);
std::optional<QByteArray> decodeStrict(QByteArrayView text);

} // namespace Base64
