#include "RemoteInput.h"

#include <QHash>

#include <array>
#include <utility>

namespace {

const std::array<std::pair<RemoteInput::Kind, QString>, 4> names{{
    {RemoteInput::Kind::move, QStringLiteral("move")},
    {RemoteInput::Kind::down, QStringLiteral("down")},
    {RemoteInput::Kind::up, QStringLiteral("up")},
    {RemoteInput::Kind::wheel, QStringLiteral("wheel")},
}};

} // namespace

QString rawText(RemoteInput::Kind kind)
{
    for (const auto &[value, text] : names) {
        if (value == kind)
            return text;
    }
    return {};
}

std::optional<RemoteInput::Kind> remoteInputKindFromRaw(const QString &text)
{
    for (const auto &[value, name] : names) {
        if (name == text)
            return value;
    }
    return std::nullopt;
}

size_t qHash(RemoteInput::Kind kind, size_t seed) noexcept
{
    return ::qHash(static_cast<int>(kind), seed);
}

size_t qHash(const RemoteInput &input, size_t seed) noexcept
{
    // qHash(double) gives 0.0 and -0.0 the same hash, matching ==.
    return qHashMulti(seed, input.kind, input.x, input.y, input.button, input.clickCount, input.deltaX,
                      input.deltaY, input.modifiers.bits());
}
