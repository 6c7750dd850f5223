#pragma once

#include "KeyModifiers.h"
#include "NamedKey.h"

#include <cstdint>
#include <optional>

// What the host is asked to type, as the keysyms a Wayland compositor's remote-desktop
// interface takes. The compositor looks each keysym up in its current keymap (adding Shift or
// AltGr as that key needs), so a character is sent as the keysym the keymap lists it under.
namespace WaylandKeysyms {

// The keysym of a special key; none for a value outside the enumeration.
std::optional<std::uint32_t> ofNamedKey(NamedKey key);

// The keysym of the left-hand key of a modifier; Meta is the Super (Windows) key, as the
// viewer's toolkit names it on this system.
std::uint32_t ofModifier(KeyModifier modifier);

// The Caps Lock key's keysym.
std::uint32_t capsLock();

// The keysym that types `codePoint`: line breaks and tabs are the Return and Tab keys,
// characters with a named keysym use it (as keymaps do: "é" is eacute, "€" EuroSign), the rest
// the Unicode keysym 0x01000000 | code point. Other control characters and invalid code points
// type nothing.
std::optional<std::uint32_t> ofCodePoint(char32_t codePoint);

} // namespace WaylandKeysyms
