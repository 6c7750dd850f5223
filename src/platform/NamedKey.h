#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// A key that types no character of its own, which the viewer names in a key message's
// "codeName". Desktop backends turn each into their own key codes.
//
// The first ten are the keys every host has always known. The further ones (Home to F12) are an
// addition: a viewer names them only to a host that announced it knows them.
enum class NamedKey : std::uint8_t {
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
    // Further keys.
    Home,
    End,
    PageUp,
    PageDown,
    Insert,
    F1,
    F2,
    F3,
    F4,
    F5,
    F6,
    F7,
    F8,
    F9,
    F10,
    F11,
    F12,
};

// The key's codeName, in lower case ("arrowleft", "pagedown", "f5").
QString codeName(NamedKey key);
// The key a codeName names, whatever its letter case; none for every other name.
std::optional<NamedKey> namedKeyFromCodeName(const QString &codeName);
// One of the ten keys every host knows, rather than a further key.
bool isBasicNamedKey(NamedKey key);
