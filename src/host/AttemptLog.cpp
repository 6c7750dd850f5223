#include "AttemptLog.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <array>
#include <utility>

namespace {

const QString atKey = QStringLiteral("at");
const QString outcomeKey = QStringLiteral("outcome");
const QString clientNameKey = QStringLiteral("clientName");
const QString clientPlatformKey = QStringLiteral("clientPlatform");
const QString clientAddressKey = QStringLiteral("clientAddress");

using Outcome = AttemptLog::Outcome;
const std::array<std::pair<Outcome, const char *>, 6> outcomeNames{{
    {Outcome::allowed, "allowed"},
    {Outcome::refused, "refused"},
    {Outcome::notAnswered, "not-answered"},
    {Outcome::busy, "busy"},
    {Outcome::wrongPassword, "wrong-password"},
    {Outcome::lockedOut, "locked-out"},
}};

std::optional<QString> optionalText(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

void insertIfAny(QJsonObject &object, const QString &key, const std::optional<QString> &text)
{
    if (text)
        object.insert(key, *text);
}

} // namespace

AttemptLog::AttemptLog(QString path)
    : m_path(std::move(path))
{
    QFile file(m_path);
    if (file.open(QIODevice::ReadOnly))
        m_entries = fromBytes(file.readAll());
}

bool AttemptLog::add(const QList<Entry> &entries)
{
    if (entries.isEmpty())
        return true;
    m_entries.append(entries);
    if (m_entries.size() > kept)
        m_entries.remove(0, m_entries.size() - kept);
    // Written beside and renamed over the old file: never half a log.
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Names and addresses of who tried: for this user's eyes only.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(toBytes(m_entries));
    return file.commit();
}

QString AttemptLog::outcomeName(Outcome outcome)
{
    for (const auto &[value, name] : outcomeNames) {
        if (value == outcome)
            return QString::fromLatin1(name);
    }
    return {};
}

std::optional<AttemptLog::Outcome> AttemptLog::outcomeNamed(const QString &name)
{
    for (const auto &[value, text] : outcomeNames) {
        if (name == QLatin1String(text))
            return value;
    }
    return std::nullopt;
}

QString AttemptLog::outcomeWords(Outcome outcome)
{
    switch (outcome) {
    case Outcome::allowed:
        return QStringLiteral("Allowed");
    case Outcome::refused:
        return QStringLiteral("Refused");
    case Outcome::notAnswered:
        return QStringLiteral("Refused: nobody answered");
    case Outcome::busy:
        return QStringLiteral("Refused: another viewer was connected");
    case Outcome::wrongPassword:
        return QStringLiteral("Wrong password");
    case Outcome::lockedOut:
        return QStringLiteral("Refused: connections were paused");
    }
    return {};
}

QByteArray AttemptLog::toBytes(const QList<Entry> &entries)
{
    QByteArray bytes;
    for (const Entry &entry : entries) {
        QJsonObject line{{atKey, entry.at.toUTC().toString(Qt::ISODateWithMs)}, {outcomeKey, outcomeName(entry.outcome)}};
        insertIfAny(line, clientNameKey, entry.clientName);
        insertIfAny(line, clientPlatformKey, entry.clientPlatform);
        insertIfAny(line, clientAddressKey, entry.clientAddress);
        bytes += QJsonDocument(line).toJson(QJsonDocument::Compact);
        bytes += '\n';
    }
    return bytes;
}

QList<AttemptLog::Entry> AttemptLog::fromBytes(const QByteArray &bytes)
{
    QList<Entry> entries;
    for (const QByteArray &line : bytes.split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        const QDateTime at = QDateTime::fromString(object.value(atKey).toString(), Qt::ISODateWithMs);
        const std::optional<Outcome> outcome = outcomeNamed(object.value(outcomeKey).toString());
        if (!at.isValid() || !outcome)
            continue;
        entries.append({at, *outcome, optionalText(object, clientNameKey), optionalText(object, clientPlatformKey),
                        optionalText(object, clientAddressKey)});
    }
    if (entries.size() > kept)
        entries.remove(0, entries.size() - kept);
    return entries;
}
