#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// One remembered remote machine of the viewer's address book.
struct BookEntry
{
    QString id;     // compact 9-digit ID; the entry's identity in lists
    QString name;   // "Remote" when the switchboard reported none
    QDateTime last; // when the viewer last reached the live phase with this machine

    friend bool operator==(const BookEntry &a, const BookEntry &b)
    {
        return a.id == b.id && a.name == b.name && a.last == b.last;
    }

    // {"id", "name", "last"}: "last" is floating-point seconds since 2001-01-01 00:00:00 UTC.
    QJsonObject toJson() const;
    // Fails (no value) when any of the three members is missing or mistyped.
    static std::optional<BookEntry> fromJson(const QJsonValue &value);

    // The whole book as a JSON array, and back; one malformed entry rejects the whole array.
    static QByteArray encodeList(const QList<BookEntry> &entries);
    static std::optional<QList<BookEntry>> decodeList(const QByteArray &json);
};

// Seconds between 1970-01-01 and 2001-01-01, both UTC.
inline constexpr double kReferenceDateOffsetSeconds = 978307200.0;

size_t qHash(const BookEntry &entry, size_t seed = 0) noexcept;

template<>
struct std::hash<BookEntry>
{
    size_t operator()(const BookEntry &entry) const noexcept { return qHash(entry); }
};
