#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// A key that types no character of its own, which the viewer names in a key message's
// "codeName". Desktop backends turn each into their own key codes.
enum class SpecialKey : std::uint8_t {
    Enter,
    Backspace,
    Tab,
    Escape,
    ArrowLeft,
    ArrowUp,
    ArrowRight,
    ArrowDown,
    Delete, // forward delete
    Space,
};

// The key's codeName, in lower case ("arrowleft").
QString codeName(SpecialKey key);
// The key a codeName names, whatever its letter case; none for every other name.
std::optional<SpecialKey> specialKeyFromCodeName(const QString &codeName);
