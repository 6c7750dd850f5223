#pragma once

#include "RemoteInput.h"

#include <cstdint>

// Which pointer buttons a viewer's input holds pressed on its host, counted as the host counts
// them: button 1 is the right button, every other number the left.
class PointerButtons
{
public:
    // Follows `input` (a press holds its button, a release lets it go) and tells whether a host
    // without "hover" may be sent it: false only for a move while the left button is not held
    // (hovering), which such a host may take for a drag.
    bool take(const RemoteInput &input);
    bool anyHeld() const { return m_held != 0; }

    friend bool operator==(const PointerButtons &, const PointerButtons &) = default;

private:
    static std::uint8_t bitOf(std::int64_t button);

    std::uint8_t m_held = 0;
};
