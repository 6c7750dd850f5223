#pragma once

#include "DesktopSharing.h"
#include "KivrenTunnel.h"
#include "StatusTone.h"

#include <QString>

#include <optional>

// The host's status line and its tone, worked out from what the host knows about its own
// switchboard, the desktop's screen sharing, its registration, its session and its tunnel.
// Problems come first, in the order a user has to solve them; then a connected viewer; then how
// far this computer can be reached.
struct HostStatus
{
    // The switchboard on this computer, as far as the host can tell.
    enum class Switchboard {
        starting,     // launched; not yet listening, or listening but not yet proven to be ours
        proven,       // our own child answered this pass's challenge
        noNode,       // node is not installed where the launcher looks
        noScript,     // the switchboard script is missing
        notStarted,   // node would not start, or stopped before it listened
        portInUse,    // another program holds the port (or answered in our child's place)
        restarting,   // our child ended after it had listened; a new one is on its way
    };

    // The outcome of the last registration.
    enum class Registration {
        none,        // none yet, or the last one did not reach the switchboard
        registered,
        sessionEnded, // registered, and a session ended since: the ID returns with the next one
        refused,     // the switchboard answered with an error
    };

    struct Condition
    {
        Switchboard switchboard = Switchboard::starting;
        Registration registration = Registration::none;
        QString refusal;         // the switchboard's words when it refused
        QString missingFile;     // the switchboard's file missing (noScript)
        KivrenTunnel::State tunnel = KivrenTunnel::State::idle;
        bool live = false;
        std::optional<QString> clientName;
        // The live session was opened encrypted end to end.
        bool encrypted = false;
        bool originKnown = false;
        QString publicId;        // compact
        quint16 port = 0;        // the switchboard's port, for the user to look up
        // Whether the desktop lets this program capture and inject (a Wayland desktop asks first).
        DesktopSharing::State sharing = DesktopSharing::State::Ready;
    };

    QString text;
    StatusTone tone = StatusTone::warning;

    static HostStatus of(const Condition &condition);

    friend bool operator==(const HostStatus &, const HostStatus &) = default;
};
