#include "CompactJson.h"

#include <QCborStreamWriter>
#include <QCborValue>
#include <QJsonDocument>
#include <QLocale>
#include <qfloat16.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

// How: the object is first streamed as CBOR into a scratch buffer kept by the thread (Qt keeps
// JSON strings as UTF-8 internally and streams them without conversion), then the CBOR is
// transcribed to JSON text. Long strings are copied in runs found eight bytes at a time. No
// UTF-16 copy of a string is ever made, and in steady state no fresh memory is touched: on
// this machine first-touch page faults on large buffers cost more than the whole round trip.

namespace {

// A scratch buffer larger than this (a rare huge request) is not kept for the next call.
constexpr qsizetype maxKeptScratch = 8 * 1024 * 1024;

bool needsEscape(unsigned char c)
{
    return c < 0x20 || c == '"' || c == '\\';
}

// Does any of these eight bytes need escaping? With the usual word tricks, a byte below 0x20,
// or equal to '"' or '\', leaves a high bit set.
bool wordNeedsEscape(std::uint64_t word)
{
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    const auto hasZero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    const std::uint64_t below = (word - ones * 0x20) & ~word & highs;
    return below | hasZero(word ^ (ones * '"')) | hasZero(word ^ (ones * '\\'));
}

// Length of the leading run that can be copied unchanged.
qsizetype plainRun(const unsigned char *p, qsizetype size)
{
    qsizetype i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        if (wordNeedsEscape(word))
            break;
    }
    while (i < size && !needsEscape(p[i]))
        ++i;
    return i;
}

void writeString(QByteArray &out, const unsigned char *p, qsizetype left)
{
    out += '"';
    for (;;) {
        const qsizetype run = plainRun(p, left);
        out.append(reinterpret_cast<const char *>(p), run);
        p += run;
        left -= run;
        if (left == 0)
            break;
        switch (*p) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
            static constexpr char hex[] = "0123456789abcdef";
            const char escaped[] = {'\\', 'u', '0', '0', hex[*p >> 4], hex[*p & 15]};
            out.append(escaped, sizeof escaped);
        }
        }
        ++p;
        --left;
    }
    out += '"';
}

void writeDouble(QByteArray &out, double d)
{
    if (std::isfinite(d))
        out += QByteArray::number(d, 'g', QLocale::FloatingPointShortest);
    else
        out += "null";
}

// Transcribes the CBOR items that a JSON value streams as (definite-length maps with text keys,
// arrays, text, integers, doubles, booleans, null). Anything else makes it give up, and the
// caller falls back to Qt's own writer.
class Transcriber
{
public:
    Transcriber(const QByteArray &cbor, QByteArray &out)
        : m_p(reinterpret_cast<const unsigned char *>(cbor.constData()))
        , m_end(m_p + cbor.size())
        , m_out(out)
    {
    }

    bool run() { return item(0) && m_p == m_end; }

private:
    static constexpr int maxDepth = 1024;

    bool head(int &major, std::uint64_t &argument, int &info)
    {
        if (m_p == m_end)
            return false;
        major = *m_p >> 5;
        info = *m_p & 31;
        ++m_p;
        if (info < 24) {
            argument = static_cast<std::uint64_t>(info);
            return true;
        }
        if (info > 27)
            return false; // indefinite lengths and reserved values
        const qsizetype size = qsizetype(1) << (info - 24);
        if (m_end - m_p < size)
            return false;
        argument = 0;
        for (qsizetype i = 0; i < size; ++i)
            argument = (argument << 8) | m_p[i];
        m_p += size;
        return true;
    }

    bool item(int depth)
    {
        if (depth > maxDepth)
            return false;
        int major = 0;
        int info = 0;
        std::uint64_t argument = 0;
        if (!head(major, argument, info))
            return false;
        switch (major) {
        case 0:
            if (argument > std::uint64_t(std::numeric_limits<qint64>::max()))
                return false;
            m_out += QByteArray::number(static_cast<qint64>(argument));
            return true;
        case 1:
            if (argument > std::uint64_t(std::numeric_limits<qint64>::max()))
                return false;
            m_out += QByteArray::number(-1 - static_cast<qint64>(argument));
            return true;
        case 3:
            if (argument > std::uint64_t(m_end - m_p))
                return false;
            writeString(m_out, m_p, static_cast<qsizetype>(argument));
            m_p += argument;
            return true;
        case 4:
            m_out += '[';
            for (std::uint64_t i = 0; i < argument; ++i) {
                if (i > 0)
                    m_out += ',';
                if (!item(depth + 1))
                    return false;
            }
            m_out += ']';
            return true;
        case 5:
            m_out += '{';
            for (std::uint64_t i = 0; i < argument; ++i) {
                if (i > 0)
                    m_out += ',';
                if (m_p == m_end || (*m_p >> 5) != 3 || !item(depth + 1))
                    return false;
                m_out += ':';
                if (!item(depth + 1))
                    return false;
            }
            m_out += '}';
            return true;
        case 7:
            return simple(info, argument);
        default:
            return false; // byte strings and tags never come from JSON
        }
    }

    bool simple(int info, std::uint64_t argument)
    {
        switch (info) {
        case 20: m_out += "false"; return true;
        case 21: m_out += "true"; return true;
        case 22:
        case 23: m_out += "null"; return true;
        case 25: {
            const auto bits = static_cast<quint16>(argument);
            qfloat16 half;
            std::memcpy(&half, &bits, sizeof bits);
            writeDouble(m_out, static_cast<double>(static_cast<float>(half)));
            return true;
        }
        case 26: {
            const auto bits = static_cast<std::uint32_t>(argument);
            float f;
            std::memcpy(&f, &bits, sizeof f);
            writeDouble(m_out, static_cast<double>(f));
            return true;
        }
        case 27: {
            double d;
            std::memcpy(&d, &argument, sizeof d);
            writeDouble(m_out, d);
            return true;
        }
        default:
            return false;
        }
    }

    const unsigned char *m_p;
    const unsigned char *m_end;
    QByteArray &m_out;
};

} // namespace

namespace CompactJson {

void write(const QJsonObject &object, QByteArray &out)
{
    const qsizetype start = out.size();
    thread_local QByteArray cbor;
    cbor.resize(0); // keeps the capacity of earlier calls
    {
        QCborStreamWriter writer(&cbor);
        QCborValue::fromJsonValue(object).toCbor(writer);
    }
    const bool transcribed = Transcriber(cbor, out).run();
    if (cbor.capacity() > maxKeptScratch)
        cbor = QByteArray();
    if (!transcribed) {
        out.resize(start);
        out += QJsonDocument(object).toJson(QJsonDocument::Compact);
    }
}

QByteArray write(const QJsonObject &object)
{
    QByteArray out;
    write(object, out);
    return out;
}

} // namespace CompactJson
