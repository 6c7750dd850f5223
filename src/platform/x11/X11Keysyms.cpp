#include "X11Keysyms.h"

#include <X11/keysym.h>

#include <array>
#include <utility>

namespace {

constexpr unsigned long unicodeKeysymBase = 0x01000000;

constexpr std::array<std::pair<std::uint16_t, unsigned long>, 10> specialKeys{{
    {36, XK_Return},
    {51, XK_BackSpace},
    {48, XK_Tab},
    {53, XK_Escape},
    {123, XK_Left},
    {126, XK_Up},
    {124, XK_Right},
    {125, XK_Down},
    {117, XK_Delete},
    {49, XK_space},
}};

} // namespace

namespace X11Keysyms {

std::optional<unsigned long> ofVirtualKey(std::uint16_t virtualKey)
{
    for (const auto &[code, keysym] : specialKeys) {
        if (code == virtualKey)
            return keysym;
    }
    return std::nullopt;
}

std::optional<unsigned long> ofCodePoint(char32_t codePoint)
{
    if (codePoint == U'\n' || codePoint == U'\r')
        return XK_Return;
    if (codePoint == U'\t')
        return XK_Tab;
    if (codePoint < 0x20 || (codePoint >= 0x7f && codePoint < 0xa0))
        return std::nullopt;
    if (codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
        return std::nullopt;
    if (codePoint <= 0xff)
        return codePoint;
    return unicodeKeysymBase | codePoint;
}

} // namespace X11Keysyms
