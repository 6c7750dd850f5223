#include "KivrenIds.h"

#include "SecureRandom.h"

#include <QByteArray>
#include <QStringList>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

namespace {

constexpr int idLength = 9;
constexpr int passwordLength = 8;
constexpr int passwordGroup = 4;
constexpr quint32 idFloor = 100000000;

// What a user sees as characters: grapheme clusters, so that a digit written with a surrogate
// pair or a letter with a combining mark counts once.
QStringList characters(const QString &text)
{
    QStringList out;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    while (finder.toNextBoundary() != -1) {
        const qsizetype end = finder.position();
        out.append(text.mid(start, end - start));
        start = end;
    }
    return out;
}

// A character is numeric when its first code point is in a Number category: decimal digits of
// any script, letter numbers such as Roman numerals, and other numbers such as fractions.
bool isNumeric(const QString &character)
{
    if (character.isEmpty())
        return false;
    char32_t codePoint = character.front().unicode();
    if (character.size() >= 2 && QChar::isHighSurrogate(codePoint) && character[1].isLowSurrogate())
        codePoint = QChar::surrogateToUcs4(character[0], character[1]);
    return QChar::isNumber(codePoint);
}

std::vector<std::byte> randomBytes(int count)
{
    // Zero-filled first: a failing generator leaves zeros, which give fixed, known codes.
    std::vector<std::byte> bytes(static_cast<std::size_t>(std::max(count, 0)), std::byte{0});
    SecureRandom::fill(bytes);
    return bytes;
}

} // namespace

namespace KivrenIds {

const QString &alphabet()
{
    static const QString letters = QStringLiteral("ABCDEFGHJKLMNPQRSTUVWXYZ23456789");
    return letters;
}

QString nineDigit()
{
    // Three bytes read big-endian (0 to 16777215) above the floor keep the ID at nine digits that
    // never start with 0. A whole 32-bit word is drawn and its fourth byte ignored; the buffer
    // starts zeroed, so a failing generator gives the floor itself.
    std::array<std::byte, 4> bytes{};
    SecureRandom::fill(bytes);
    const quint32 value = (std::to_integer<quint32>(bytes[0]) << 16) | (std::to_integer<quint32>(bytes[1]) << 8)
                          | std::to_integer<quint32>(bytes[2]);
    return QString::number(idFloor + value);
}

QString pick(int count)
{
    // 256 is a multiple of 32, so b mod 32 makes every character equally likely.
    const QString &letters = alphabet();
    QString out;
    out.reserve(std::max(count, 0));
    for (std::byte b : randomBytes(count))
        out.append(letters[std::to_integer<int>(b) % letters.size()]);
    return out;
}

QString token(int count)
{
    // Hexadecimal keeps the token plain ASCII, safe in JSON and in the settings file: two
    // lowercase digits per byte.
    const std::vector<std::byte> bytes = randomBytes(count);
    const QByteArray raw(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    return QString::fromLatin1(raw.toHex());
}

QString compactId(const QString &text)
{
    // Spaces and dashes a user types or pastes fall away. Nothing is cut: an over-long ID stays
    // over-long for the caller to reject rather than turning into someone else's ID.
    QString out;
    for (const QString &character : characters(text)) {
        if (isNumeric(character))
            out += character;
    }
    return out;
}

QString formatId(const QString &text)
{
    // Three groups of three are easier to read out and compare. Anything that is not a complete
    // ID has no such groups and shows in compact form.
    const QString compact = compactId(text);
    const QStringList c = characters(compact);
    if (c.size() != idLength)
        return compact;
    return c.mid(0, 3).join(QString()) + u' ' + c.mid(3, 3).join(QString()) + u' ' + c.mid(6, 3).join(QString());
}

QString compactPassword(const QString &text)
{
    // Upper-cased first so a password typed in lower case still counts. A character outside the
    // alphabet cannot be in any password, so it is dropped rather than mapped to a look-alike
    // (a typed 0 does not become O).
    const QString &letters = alphabet();
    QString out;
    for (const QString &character : characters(text.toUpper())) {
        if (character.size() == 1 && letters.contains(character.front()))
            out += character;
    }
    return out;
}

QString formatPassword(const QString &text)
{
    // Grouped as the host shows its own password (four, "-", four), so the two read alike;
    // anything past eight characters is cut.
    const QStringList c = characters(compactPassword(text)).mid(0, passwordLength);
    if (c.size() <= passwordGroup)
        return c.join(QString());
    return c.mid(0, passwordGroup).join(QString()) + u'-' + c.mid(passwordGroup).join(QString());
}

int characterCount(const QString &text)
{
    return static_cast<int>(characters(text).size());
}

bool isCompactId(const QString &text)
{
    return text.size() == idLength
        && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

bool isDisplayPassword(const QString &text)
{
    if (text.size() != passwordLength + 1 || text[passwordGroup] != u'-')
        return false;
    const QString &letters = alphabet();
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (i != passwordGroup && !letters.contains(text[i]))
            return false;
    }
    return true;
}

bool isHostToken(const QString &text)
{
    return text.size() == 2 * hostTokenBytes && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

} // namespace KivrenIds
