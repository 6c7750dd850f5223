#include "SessionPhase.h"

#include <array>
#include <utility>

namespace {

const std::array<std::pair<SessionPhase, QString>, 6> names{{
    {SessionPhase::idle, QStringLiteral("idle")},
    {SessionPhase::connecting, QStringLiteral("connecting")},
    {SessionPhase::authenticating, QStringLiteral("authenticating")},
    {SessionPhase::live, QStringLiteral("live")},
    {SessionPhase::reconnecting, QStringLiteral("reconnecting")},
    {SessionPhase::failed, QStringLiteral("failed")},
}};

} // namespace

bool showsRemoteDesktop(SessionPhase phase)
{
    return phase == SessionPhase::live;
}

QString rawText(SessionPhase phase)
{
    for (const auto &[value, text] : names) {
        if (value == phase)
            return text;
    }
    return {};
}

std::optional<SessionPhase> sessionPhaseFromRaw(const QString &text)
{
    for (const auto &[value, name] : names) {
        if (name == text)
            return value;
    }
    return std::nullopt;
}
