#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringView>

#include <functional>
#include <optional>

// One remembered remote machine of the viewer's address book.
struct BookEntry
{
    QString id;     // compact 9-digit ID; the entry's identity in lists
    QString name;   // "Remote" when the switchboard reported none
    QDateTime last; // when the viewer last reached the live phase with this machine
    // What the switchboard handed this viewer with its last connect to the machine, sent back
    // with the next connect to it; empty when it handed none. A secret: kept in the book,
    // never shown or logged.
    QString deviceToken = {};
    // The person gave `name` themselves: a later connect keeps it rather than taking the name the
    // switchboard reports.
    bool renamed = false;
    // This machine was reached with an encrypted session: a plain one to it is refused from now on.
    bool encrypted = false;

    // A device token is 1 to 128 printable ASCII characters (space to tilde).
    static constexpr qsizetype maxDeviceTokenCharacters = 128;
    static bool isDeviceToken(QStringView text);

    friend bool operator==(const BookEntry &a, const BookEntry &b)
    {
        return a.id == b.id && a.name == b.name && a.last == b.last && a.deviceToken == b.deviceToken
            && a.renamed == b.renamed && a.encrypted == b.encrypted;
    }

    // {"id", "name", "last"}, "deviceToken" when there is one, "renamed": true when the person
    // named the entry and "encrypted": true once it was reached encrypted: "last" is floating-point seconds since 2001-01-01 00:00:00 UTC. Builds
    // that know neither member skip it (and show the given name all the same).
    QJsonObject toJson() const;
    // Fails (no value) when any of the three members is missing or mistyped. A "deviceToken"
    // that is missing or not of a token's form leaves the entry without one.
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
