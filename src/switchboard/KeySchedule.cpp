#include "KeySchedule.h"

#include "Sodium.h"

#include <sodium.h>

#include <algorithm>

namespace {

using SessionProtocol::Role;

constexpr qsizetype hmacBytes = crypto_auth_hmacsha512_BYTES;

// Each label names this program, the version of the encrypted session and what the key is for.
constexpr char viewerToHostLabel[] = "KivrenRemote e2e 1 viewer to host";
constexpr char hostToViewerLabel[] = "KivrenRemote e2e 1 host to viewer";
constexpr char viewerConfirmationLabel[] = "KivrenRemote e2e 1 viewer confirmation";
constexpr char hostConfirmationLabel[] = "KivrenRemote e2e 1 host confirmation";

const auto *bytesOf(QByteArrayView view)
{
    return reinterpret_cast<const unsigned char *>(view.data());
}

// HMAC-SHA-512 of the parts one after another; libsodium's HMAC takes a key of any length.
void hmac(unsigned char *out, QByteArrayView key, std::initializer_list<QByteArrayView> parts)
{
    crypto_auth_hmacsha512_state state;
    crypto_auth_hmacsha512_init(&state, bytesOf(key), static_cast<size_t>(key.size()));
    for (QByteArrayView part : parts)
        crypto_auth_hmacsha512_update(&state, bytesOf(part), static_cast<unsigned long long>(part.size()));
    crypto_auth_hmacsha512_final(&state, out);
    sodium_memzero(&state, sizeof state);
}

} // namespace

QByteArray KeySchedule::hkdf(QByteArrayView salt, QByteArrayView ikm, QByteArrayView info, qsizetype length)
{
    Sodium::ensureReady();
    if (length < 0 || length > 255 * hmacBytes)
        return {};
    // Extract: an absent salt is a hash length of zeros.
    const QByteArray zeros(hmacBytes, '\0');
    unsigned char prk[hmacBytes];
    hmac(prk, salt.isEmpty() ? QByteArrayView(zeros) : salt, {ikm});

    // Expand: T(i) = HMAC(PRK, T(i-1) || info || i).
    QByteArray out;
    out.reserve(length);
    unsigned char block[hmacBytes];
    QByteArrayView previous;
    for (int counter = 1; out.size() < length; ++counter) {
        const char counterByte = static_cast<char>(counter);
        hmac(block, QByteArrayView(prk, hmacBytes), {previous, info, QByteArrayView(&counterByte, 1)});
        out.append(reinterpret_cast<const char *>(block), std::min<qsizetype>(hmacBytes, length - out.size()));
        previous = QByteArrayView(block, hmacBytes);
    }
    sodium_memzero(prk, sizeof prk);
    sodium_memzero(block, sizeof block);
    return out;
}

KeySchedule KeySchedule::derive(QByteArrayView isk, QByteArrayView sid)
{
    KeySchedule keys;
    keys.viewerToHost = hkdf(sid, isk, viewerToHostLabel, keyBytes);
    keys.hostToViewer = hkdf(sid, isk, hostToViewerLabel, keyBytes);
    keys.viewerConfirmation = hkdf(sid, isk, viewerConfirmationLabel, keyBytes);
    keys.hostConfirmation = hkdf(sid, isk, hostConfirmationLabel, keyBytes);
    return keys;
}

QByteArray KeySchedule::confirmationTag(Role sender, QByteArrayView transcript) const
{
    Sodium::ensureReady();
    QByteArray tag(tagBytes, Qt::Uninitialized);
    hmac(reinterpret_cast<unsigned char *>(tag.data()),
         sender == Role::viewer ? viewerConfirmation : hostConfirmation, {transcript});
    return tag;
}

bool KeySchedule::confirms(Role sender, QByteArrayView transcript, QByteArrayView tag) const
{
    if (tag.size() != tagBytes)
        return false;
    const QByteArray expected = confirmationTag(sender, transcript);
    return crypto_verify_64(bytesOf(expected), bytesOf(tag)) == 0;
}

const QByteArray &KeySchedule::sendingKey(Role sender) const
{
    return sender == Role::viewer ? viewerToHost : hostToViewer;
}
