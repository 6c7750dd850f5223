#include "PointerButtons.h"

namespace {
constexpr std::uint8_t leftBit = 1;
constexpr std::uint8_t rightBit = 2;
} // namespace

std::uint8_t PointerButtons::bitOf(std::int64_t button)
{
    return button == 1 ? rightBit : leftBit;
}

bool PointerButtons::take(const RemoteInput &input)
{
    switch (input.kind) {
    case RemoteInput::Kind::down:
        m_held |= bitOf(input.button);
        return true;
    case RemoteInput::Kind::up:
        m_held &= static_cast<std::uint8_t>(~bitOf(input.button));
        return true;
    case RemoteInput::Kind::move:
        // Viewers have only ever sent moves to drag with the left button.
        return (m_held & leftBit) != 0;
    case RemoteInput::Kind::wheel:
        return true;
    }
    return true;
}
