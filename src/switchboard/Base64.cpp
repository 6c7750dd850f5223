#include "Base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Anything outside the alphabet sets this bit, far above the 24 data bits of a quad, so one
// OR over a whole run tells whether any character was bad.
constexpr std::uint32_t invalid = 1u << 31;

// One table per position in a quad, the 6-bit value already shifted into place.
struct DecodeTables
{
    std::array<std::uint32_t, 256> at[4];
};

constexpr DecodeTables makeDecodeTables()
{
    DecodeTables tables{};
    for (auto &table : tables.at)
        table.fill(invalid);
    for (std::uint32_t value = 0; value < 64; ++value) {
        const auto c = static_cast<unsigned char>(alphabet[value]);
        tables.at[0][c] = value << 18;
        tables.at[1][c] = value << 12;
        tables.at[2][c] = value << 6;
        tables.at[3][c] = value;
    }
    return tables;
}

constexpr DecodeTables decodeTables = makeDecodeTables();

// One code unit's table entry; UTF-16 units beyond Latin-1 are never base64.
template<typename Unit>
inline std::uint32_t lookup(int position, Unit unit)
{
    if constexpr (sizeof(Unit) > 1) {
        if (unit > 0xff)
            return invalid;
    }
    return decodeTables.at[position][static_cast<unsigned char>(unit)];
}

template<typename Unit>
inline std::uint32_t quad(const Unit *in)
{
    return lookup(0, in[0]) | lookup(1, in[1]) | lookup(2, in[2]) | lookup(3, in[3]);
}

// Non-zero bits under the padding ("QR==" for "A", where "QQ==" is canonical) are accepted and
// dropped: such a text still names exactly one byte sequence, and refusing it would throw away
// a picture from a lenient encoder for no gain. Everything else that is not canonical fails.
template<typename Unit>
std::optional<QByteArray> decode(const Unit *in, qsizetype size)
{
    if (size % 4 != 0)
        return std::nullopt;
    if (size == 0)
        return QByteArray();

    const qsizetype padding = in[size - 1] != '=' ? 0 : in[size - 2] != '=' ? 1 : 2;
    QByteArray out(size / 4 * 3 - padding, Qt::Uninitialized);
    auto *o = reinterpret_cast<unsigned char *>(out.data());

    // Every quad but the last: four alphabet characters, three bytes.
    std::uint32_t bad = 0;
    const qsizetype lastQuad = size - 4;
    for (qsizetype i = 0; i < lastQuad; i += 4) {
        const std::uint32_t v = quad(in + i);
        bad |= v;
        o[0] = static_cast<unsigned char>(v >> 16);
        o[1] = static_cast<unsigned char>(v >> 8);
        o[2] = static_cast<unsigned char>(v);
        o += 3;
    }
    if (bad & invalid)
        return std::nullopt;

    // The last quad, where "=" may stand in for the final one or two characters only.
    const Unit *last = in + lastQuad;
    Unit filled[4] = {last[0], last[1], last[2], last[3]};
    for (qsizetype k = 4 - padding; k < 4; ++k)
        filled[k] = 'A';
    const std::uint32_t v = quad(filled);
    if (v & invalid)
        return std::nullopt;
    o[0] = static_cast<unsigned char>(v >> 16);
    if (padding < 2)
        o[1] = static_cast<unsigned char>(v >> 8);
    if (padding < 1)
        o[2] = static_cast<unsigned char>(v);
    return out;
}

} // namespace

namespace Base64 {

QByteArray encode(QByteArrayView bytes)
{
    const auto *in = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype size = bytes.size();
    QByteArray out((size + 2) / 3 * 4, Qt::Uninitialized);
    char *o = out.data();

    qsizetype i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t v = (std::uint32_t(in[i]) << 16) | (std::uint32_t(in[i + 1]) << 8) | in[i + 2];
        *o++ = alphabet[(v >> 18) & 63];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = alphabet[(v >> 6) & 63];
        *o++ = alphabet[v & 63];
    }
    if (const qsizetype rest = size - i; rest > 0) {
        const std::uint32_t v = (std::uint32_t(in[i]) << 16) | (rest == 2 ? std::uint32_t(in[i + 1]) << 8 : 0);
        *o++ = alphabet[(v >> 18) & 63];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
    return out;
}

std::optional<QByteArray> decodeStrict(QByteArrayView text)
{
    return decode(reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

std::optional<QByteArray> decodeStrict(QStringView text)
{
    return decode(text.utf16(), text.size());
}

} // namespace Base64
