#pragma once

#include "NamedKey.h"

#include <optional>

// Translations between what the host is asked to type and X keysyms.
namespace X11Keysyms {

// The keysym of a special key; none for a value outside the enumeration.
std::optional<unsigned long> ofNamedKey(NamedKey key);

// The keysym that types `codePoint`: Latin-1 characters keep their own code, line breaks and
// tabs are the Return and Tab keys, everything else uses the Unicode keysym range. Other
// control characters and invalid code points type nothing.
std::optional<unsigned long> ofCodePoint(char32_t codePoint);

} // namespace X11Keysyms
