#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <optional>

// One viewer in a session with this host, as the home screen lists it: who it said it is, where
// it came from as the switchboard saw it, since when, and what the host lets it do.
struct LiveSession
{
    QString sessionId; // names the session for End and view-only; never shown
    std::optional<QString> clientName;
    std::optional<QString> clientPlatform;
    std::optional<QString> clientAddress;
    QDateTime since;
    // The session's frames are sealed end to end (set where the encrypted session is opened).
    bool encrypted = false;
    // The viewer's input is dropped; pictures still flow.
    bool viewOnly = false;

    friend bool operator==(const LiveSession &, const LiveSession &) = default;
};

Q_DECLARE_METATYPE(LiveSession)
