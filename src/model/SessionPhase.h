#pragma once

#include <QHash>
#include <QString>

#include <optional>

// The viewer's connection phase.
enum class SessionPhase { idle, connecting, authenticating, live, reconnecting, failed };

// The window shows the remote desktop only while a session is live, the home screen at all
// other times.
bool showsRemoteDesktop(SessionPhase phase);

QString rawText(SessionPhase phase);
// Case-sensitive: an unlisted text yields no value.
std::optional<SessionPhase> sessionPhaseFromRaw(const QString &text);

inline size_t qHash(SessionPhase phase, size_t seed = 0) noexcept
{
    return ::qHash(static_cast<int>(phase), seed);
}
