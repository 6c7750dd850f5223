#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// Who tried to reach this computer and what became of it: the newest `kept` attempts, kept across
// restarts in one file of JSON lines (one object per attempt, oldest first) in the settings
// folder, readable by this user alone and replaced whole on every change, so a crash leaves the
// old file or the new one. Lines that do not read as an attempt (a file cut short, edited by
// hand) are skipped; the rest is kept.
class AttemptLog
{
public:
    static constexpr qsizetype kept = 200;
    static inline const QString fileName = QStringLiteral("attempts.jsonl");

    enum class Outcome {
        allowed,       // let in (with the password, or the person here allowed it)
        refused,       // the person here refused
        notAnswered,   // nobody here answered in time
        busy,          // another viewer was in a session
        wrongPassword, // the switchboard refused the password
        lockedOut,     // the switchboard refused it while connections were paused
    };

    struct Entry
    {
        QDateTime at;
        Outcome outcome = Outcome::allowed;
        std::optional<QString> clientName;
        std::optional<QString> clientPlatform;
        std::optional<QString> clientAddress;

        friend bool operator==(const Entry &, const Entry &) = default;
    };

    // Reads the file at `path`; a missing or unreadable one is an empty log.
    explicit AttemptLog(QString path);

    // Oldest first.
    const QList<Entry> &entries() const { return m_entries; }
    // Adds the attempts (the oldest dropped past `kept`) and writes the file; false when it
    // could not be written (the entries are still kept for this run).
    bool add(const QList<Entry> &entries);

    // The wire names of the outcomes ("allowed", "wrong-password", ...) and their words.
    static QString outcomeName(Outcome outcome);
    static std::optional<Outcome> outcomeNamed(const QString &name);
    static QString outcomeWords(Outcome outcome);

    // The file's bytes for these entries, and the entries that read from bytes (newest `kept`).
    static QByteArray toBytes(const QList<Entry> &entries);
    static QList<Entry> fromBytes(const QByteArray &bytes);

private:
    QString m_path;
    QList<Entry> m_entries;
};
