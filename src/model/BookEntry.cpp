#include "BookEntry.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace {

const QString idKey = QStringLiteral("id");
const QString nameKey = QStringLiteral("name");
const QString lastKey = QStringLiteral("last");
const QString deviceTokenKey = QStringLiteral("deviceToken");
const QString renamedKey = QStringLiteral("renamed");
const QString encryptedKey = QStringLiteral("encrypted");

constexpr qint64 referenceDateOffsetMSecs = static_cast<qint64>(kReferenceDateOffsetSeconds) * 1000;
// About 300,000 years either side of 2001: far beyond any real date, and well inside what
// QDateTime and a 64-bit millisecond count can hold.
constexpr double maxAbsoluteSeconds = 1e13;

// Seconds that read back (fromJson) as exactly these milliseconds. Within a few thousand years
// of 2001 that is simply msecs / 1000; further out a double holds too few fractional digits for
// the division to come back whole, and the nearest double that does is taken instead.
double secondsFor(qint64 msecs)
{
    double seconds = static_cast<double>(msecs) / 1000.0;
    for (int step = 0; step < 8; ++step) {
        const qint64 readBack = std::llround(seconds * 1000.0);
        if (readBack == msecs)
            break;
        seconds = std::nextafter(seconds, readBack < msecs ? HUGE_VAL : -HUGE_VAL);
    }
    return seconds;
}

} // namespace

QJsonObject BookEntry::toJson() const
{
    const qint64 sinceReference = last.toMSecsSinceEpoch() - referenceDateOffsetMSecs;
    QJsonObject object{
        {idKey, id},
        {nameKey, name},
        {lastKey, secondsFor(sinceReference)},
    };
    if (!deviceToken.isEmpty())
        object.insert(deviceTokenKey, deviceToken);
    if (renamed)
        object.insert(renamedKey, true);
    if (encrypted)
        object.insert(encryptedKey, true);
    return object;
}

bool BookEntry::isDeviceToken(QStringView text)
{
    return !text.isEmpty() && text.size() <= maxDeviceTokenCharacters
        && std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() <= 0x7e; });
}

std::optional<BookEntry> BookEntry::fromJson(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    const QJsonValue id = object.value(idKey);
    const QJsonValue name = object.value(nameKey);
    const QJsonValue last = object.value(lastKey);
    if (!id.isString() || !name.isString() || !last.isDouble())
        return std::nullopt;
    const double seconds = last.toDouble();
    if (!std::isfinite(seconds) || std::abs(seconds) > maxAbsoluteSeconds)
        return std::nullopt;

    const qint64 msecs = std::llround(seconds * 1000.0) + referenceDateOffsetMSecs;
    const QJsonValue token = object.value(deviceTokenKey);
    const bool hasToken = token.isString() && isDeviceToken(token.toString());
    // Anything but true is an entry nobody renamed.
    const bool renamed = object.value(renamedKey).toBool(false);
    return BookEntry{id.toString(), name.toString(), QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC),
                     hasToken ? token.toString() : QString(), renamed, object.value(encryptedKey).toBool(false)};
}

QByteArray BookEntry::encodeList(const QList<BookEntry> &entries)
{
    QJsonArray array;
    for (const BookEntry &entry : entries)
        array.append(entry.toJson());
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<QList<BookEntry>> BookEntry::decodeList(const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isArray())
        return std::nullopt;
    QList<BookEntry> entries;
    for (const QJsonValue &value : document.array()) {
        std::optional<BookEntry> entry = fromJson(value);
        if (!entry)
            return std::nullopt;
        entries.append(std::move(*entry));
    }
    return entries;
}

size_t qHash(const BookEntry &entry, size_t seed) noexcept
{
    // Equal instants compare equal whatever their time zone, so hash the instant.
    return qHashMulti(seed, entry.id, entry.name, entry.last.toMSecsSinceEpoch(), entry.deviceToken,
                      entry.renamed, entry.encrypted);
}
