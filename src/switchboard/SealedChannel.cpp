#include "SealedChannel.h"

#include "Cpace.h"
#include "Sodium.h"

#include <QtEndian>

#include <sodium.h>

static_assert(crypto_aead_xchacha20poly1305_ietf_ABYTES == SealedChannel::tagBytes);
static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == KeySchedule::keyBytes);

namespace {

using SessionProtocol::Role;

constexpr char associatedDataLabel[] = "KivrenRemote sealed 1";
constexpr qsizetype nonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr qsizetype sequenceBytes = 8;

const auto *bytesOf(QByteArrayView view)
{
    return reinterpret_cast<const unsigned char *>(view.data());
}

// 16 zero bytes, then the sequence number as it stands in the header.
void makeNonce(unsigned char (&nonce)[nonceBytes], const char *header)
{
    std::fill(std::begin(nonce), std::end(nonce), 0);
    std::copy(header, header + sequenceBytes, nonce + nonceBytes - sequenceBytes);
}

Role other(Role role)
{
    return role == Role::host ? Role::viewer : Role::host;
}

} // namespace

QString SealedChannel::sealedKind(QStringView innerKind)
{
    if (innerKind == SessionProtocol::kindJson)
        return kindSealedJson;
    if (innerKind == SessionProtocol::kindJpeg)
        return kindSealedJpeg;
    if (innerKind == SessionProtocol::kindTiles)
        return kindSealedTiles;
    return {};
}

QString SealedChannel::innerKind(QStringView sealedKind)
{
    if (sealedKind == kindSealedJson)
        return SessionProtocol::kindJson;
    if (sealedKind == kindSealedJpeg)
        return SessionProtocol::kindJpeg;
    if (sealedKind == kindSealedTiles)
        return SessionProtocol::kindTiles;
    return {};
}

quint64 SealedChannel::Chains::anchorFor(QStringView innerKind) const
{
    return innerKind == SessionProtocol::kindTiles ? picture : json;
}

void SealedChannel::Chains::take(QStringView innerKind, quint64 seq)
{
    (innerKind == SessionProtocol::kindJson ? json : picture) = seq;
}

SealedChannel::SealedChannel(Role self, const KeySchedule &keys, QByteArray sid)
    : m_self(self)
    , m_sendKey(keys.sendingKey(self))
    , m_receiveKey(keys.sendingKey(other(self)))
    , m_sid(std::move(sid))
{
    Sodium::ensureReady();
}

QByteArray SealedChannel::associatedData(Role sender, QStringView sealedKind, const char *header) const
{
    return Cpace::lengthValueConcat({QByteArrayView(associatedDataLabel), m_sid,
                                     SessionProtocol::roleName(sender).toLatin1(), sealedKind.toLatin1(),
                                     QByteArrayView(header, headerBytes)});
}

QByteArray SealedChannel::seal(QStringView innerKind, QByteArrayView plaintext, QByteArray buffer)
{
    const QString kind = sealedKind(innerKind);
    if (kind.isEmpty())
        return {};
    const quint64 seq = ++m_sent;

    buffer.resize(0); // keeps the capacity
    buffer.resize(headerBytes + plaintext.size() + tagBytes);
    char *header = buffer.data();
    qToBigEndian(seq, header);
    qToBigEndian(m_sentChains.anchorFor(innerKind), header + sequenceBytes);
    m_sentChains.take(innerKind, seq);

    const QByteArray ad = associatedData(m_self, kind, header);
    unsigned char nonce[nonceBytes];
    makeNonce(nonce, header);
    auto *out = reinterpret_cast<unsigned char *>(buffer.data() + headerBytes);
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
        out, out + plaintext.size(), nullptr, bytesOf(plaintext), static_cast<unsigned long long>(plaintext.size()),
        bytesOf(ad), static_cast<unsigned long long>(ad.size()), nullptr, nonce, bytesOf(m_sendKey));
    return buffer;
}

std::variant<SealedChannel::Opened, SealedChannel::Refusal>
SealedChannel::open(QStringView sealedKind, QByteArrayView payload, QByteArray buffer)
{
    const QString kind = innerKind(sealedKind);
    if (kind.isEmpty() || payload.size() < headerBytes + tagBytes)
        return Refusal::malformed;
    const char *header = payload.data();
    const auto seq = qFromBigEndian<quint64>(header);
    const auto anchor = qFromBigEndian<quint64>(header + sequenceBytes);
    if (seq <= m_received)
        return Refusal::replayed;

    const qsizetype plaintextBytes = payload.size() - headerBytes - tagBytes;
    buffer.resize(0); // keeps the capacity
    buffer.resize(plaintextBytes);
    const QByteArray ad = associatedData(other(m_self), sealedKind, header);
    unsigned char nonce[nonceBytes];
    makeNonce(nonce, header);
    const auto *ciphertext = bytesOf(payload) + headerBytes;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
            reinterpret_cast<unsigned char *>(buffer.data()), nullptr, ciphertext,
            static_cast<unsigned long long>(plaintextBytes), ciphertext + plaintextBytes, bytesOf(ad),
            static_cast<unsigned long long>(ad.size()), nonce, bytesOf(m_receiveKey))
        != 0) {
        return Refusal::forged;
    }
    if (anchor != m_receivedChains.anchorFor(kind))
        return Refusal::missing;

    m_received = seq;
    m_receivedChains.take(kind, seq);
    return Opened{kind, std::move(buffer)};
}
