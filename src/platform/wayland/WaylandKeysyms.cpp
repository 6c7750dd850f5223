#include "WaylandKeysyms.h"

#include <xkbcommon/xkbcommon.h>

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<std::uint16_t, std::uint32_t>, 10> specialKeys{{
    {36, XKB_KEY_Return},
    {51, XKB_KEY_BackSpace},
    {48, XKB_KEY_Tab},
    {53, XKB_KEY_Escape},
    {123, XKB_KEY_Left},
    {126, XKB_KEY_Up},
    {124, XKB_KEY_Right},
    {125, XKB_KEY_Down},
    {117, XKB_KEY_Delete},
    {49, XKB_KEY_space},
}};

} // namespace

namespace WaylandKeysyms {

std::optional<std::uint32_t> ofVirtualKey(std::uint16_t virtualKey)
{
    for (const auto &[code, keysym] : specialKeys) {
        if (code == virtualKey)
            return keysym;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> ofCodePoint(char32_t codePoint)
{
    if (codePoint == U'\n' || codePoint == U'\r')
        return XKB_KEY_Return;
    if (codePoint == U'\t')
        return XKB_KEY_Tab;
    if (codePoint < 0x20 || (codePoint >= 0x7f && codePoint < 0xa0))
        return std::nullopt;
    if (codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
        return std::nullopt;
    const xkb_keysym_t keysym = xkb_utf32_to_keysym(codePoint);
    if (keysym == XKB_KEY_NoSymbol)
        return std::nullopt;
    return keysym;
}

} // namespace WaylandKeysyms
