#include "Cpace.h"

#include "Sodium.h"

#include <sodium.h>

#include <algorithm>

static_assert(crypto_core_ristretto255_BYTES == Cpace::pointBytes);
static_assert(crypto_core_ristretto255_HASHBYTES == Cpace::hashBytes);
static_assert(crypto_scalarmult_ristretto255_SCALARBYTES == Cpace::scalarBytes);
static_assert(crypto_hash_sha512_BYTES == Cpace::hashBytes);

namespace {

const auto *bytesOf(QByteArrayView view)
{
    return reinterpret_cast<const unsigned char *>(view.data());
}

auto *bytesOf(QByteArray &bytes)
{
    return reinterpret_cast<unsigned char *>(bytes.data());
}

void appendLength(QByteArray &out, qsizetype length)
{
    auto remaining = static_cast<quint64>(length);
    do {
        const auto low = static_cast<char>(remaining & 0x7f);
        remaining >>= 7;
        out.append(remaining != 0 ? static_cast<char>(low | 0x80) : low);
    } while (remaining != 0);
}

// G.DSI || "_ISK": the first field hashed into ISK.
constexpr char iskDomain[] = "CPaceRistretto255_ISK";

} // namespace

QByteArrayView Cpace::domainSeparator()
{
    return QByteArrayView("CPaceRistretto255");
}

QByteArray Cpace::prependLength(QByteArrayView bytes)
{
    return lengthValueConcat({bytes});
}

QByteArray Cpace::lengthValueConcat(std::initializer_list<QByteArrayView> parts)
{
    qsizetype size = 0;
    for (QByteArrayView part : parts)
        size += part.size() + 10;
    QByteArray out;
    out.reserve(size);
    for (QByteArrayView part : parts) {
        appendLength(out, part.size());
        out.append(part);
    }
    return out;
}

QByteArray Cpace::generatorString(QByteArrayView dsi, QByteArrayView prs, QByteArrayView ci, QByteArrayView sid,
                                  qsizetype blockBytes)
{
    const qsizetype paddingBytes =
        std::max<qsizetype>(0, blockBytes - 1 - prependLength(prs).size() - prependLength(dsi).size());
    const QByteArray padding(paddingBytes, '\0');
    return lengthValueConcat({dsi, prs, padding, ci, sid});
}

QByteArray Cpace::calculateGenerator(QByteArrayView prs, QByteArrayView ci, QByteArrayView sid)
{
    Sodium::ensureReady();
    const QByteArray text = generatorString(domainSeparator(), prs, ci, sid, hashBlockBytes);
    unsigned char hash[hashBytes];
    crypto_hash_sha512(hash, bytesOf(text), static_cast<unsigned long long>(text.size()));
    QByteArray generator(pointBytes, Qt::Uninitialized);
    crypto_core_ristretto255_from_hash(bytesOf(generator), hash);
    sodium_memzero(hash, sizeof hash);
    return generator;
}

QByteArray Cpace::sampleScalar()
{
    Sodium::ensureReady();
    QByteArray scalar(scalarBytes, Qt::Uninitialized);
    randombytes_buf(scalar.data(), static_cast<size_t>(scalar.size()));
    // 252 bits: every such value lies below the group order, so none needs reducing.
    scalar[scalarBytes - 1] = static_cast<char>(scalar[scalarBytes - 1] & 0x0f);
    return scalar;
}

std::optional<QByteArray> Cpace::scalarMultVerify(QByteArrayView scalar, QByteArrayView point)
{
    if (scalar.size() != scalarBytes || point.size() != pointBytes)
        return std::nullopt;
    Sodium::ensureReady();
    QByteArray product(pointBytes, Qt::Uninitialized);
    // libsodium refuses an encoding that is not canonical or not on the group, and a product that
    // is the identity (which an identity input always gives).
    if (crypto_scalarmult_ristretto255(bytesOf(product), bytesOf(scalar), bytesOf(point)) != 0)
        return std::nullopt;
    return product;
}

QByteArray Cpace::transcriptInitiatorResponder(QByteArrayView ya, QByteArrayView ada, QByteArrayView yb,
                                               QByteArrayView adb)
{
    return lengthValueConcat({ya, ada, yb, adb});
}

QByteArray Cpace::intermediateSessionKey(QByteArrayView sid, QByteArrayView sharedPoint, QByteArrayView transcript)
{
    Sodium::ensureReady();
    const QByteArray prefix = lengthValueConcat({QByteArrayView(iskDomain), sid, sharedPoint});
    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    crypto_hash_sha512_update(&state, bytesOf(prefix), static_cast<unsigned long long>(prefix.size()));
    crypto_hash_sha512_update(&state, bytesOf(transcript), static_cast<unsigned long long>(transcript.size()));
    QByteArray isk(hashBytes, Qt::Uninitialized);
    crypto_hash_sha512_final(&state, bytesOf(isk));
    sodium_memzero(&state, sizeof state);
    return isk;
}
