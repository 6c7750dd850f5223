#include "HostKey.h"

#include "SecureRandom.h"

#include <QMessageAuthenticationCode>

#include <cstddef>
#include <span>

namespace {

const QByteArray headerLabel = QByteArrayLiteral("kivren-host");
const QByteArray proveLabel = QByteArrayLiteral("kivren-prove:");

QByteArray randomBytes(int count)
{
    // Zero-filled first, as the generator's contract asks.
    QByteArray bytes(count, '\0');
    SecureRandom::fill(std::as_writable_bytes(std::span(bytes.data(), static_cast<std::size_t>(bytes.size()))));
    return bytes;
}

QByteArray hmacHex(const QByteArray &key, QByteArrayView message)
{
    return QMessageAuthenticationCode::hash(message.toByteArray(), key, QCryptographicHash::Sha256).toHex();
}

} // namespace

HostKey::HostKey(QByteArray bytes)
    : m_bytes(std::move(bytes))
{
}

HostKey HostKey::generate()
{
    return HostKey(randomBytes(keyBytes));
}

QByteArray HostKey::environmentValue() const
{
    return m_bytes.toHex();
}

QByteArray HostKey::headerValue() const
{
    return hmacHex(m_bytes, headerLabel);
}

QByteArray HostKey::answerTo(QByteArrayView nonce) const
{
    return hmacHex(m_bytes, proveLabel + nonce.toByteArray());
}

QByteArray HostKey::freshNonce()
{
    return randomBytes(nonceBytes).toHex();
}

bool HostKey::sameAnswer(QByteArrayView a, QByteArrayView b)
{
    // The length of a right answer is public (64 digits), so only the bytes need hiding.
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}
