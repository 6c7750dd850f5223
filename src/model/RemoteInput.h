#pragma once

#include "KeyModifiers.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// One pointer event sent from the viewer to the host. Positions are fractions of the
// remote picture (0 at the left/top edge, 1 at the right/bottom edge).
struct RemoteInput
{
    enum class Kind { move, down, up, wheel };

    Kind kind = Kind::move;
    double x = 0;
    double y = 0;
    std::int64_t button = 0;     // 0 primary (left), 1 secondary (right)
    std::int64_t clickCount = 1;
    double deltaX = 0;
    double deltaY = 0;
    // Held with the event (Ctrl+click, Shift+click); sent only to a host that announced it
    // understands them.
    KeyModifiers modifiers;

    friend bool operator==(const RemoteInput &, const RemoteInput &) = default;
};

QString rawText(RemoteInput::Kind kind);
// Case-sensitive: any other text yields no value.
std::optional<RemoteInput::Kind> remoteInputKindFromRaw(const QString &text);

size_t qHash(RemoteInput::Kind kind, size_t seed = 0) noexcept;
size_t qHash(const RemoteInput &input, size_t seed = 0) noexcept;

template<>
struct std::hash<RemoteInput>
{
    size_t operator()(const RemoteInput &input) const noexcept { return qHash(input); }
};
