#include "X11Keysyms.h"

#include <X11/keysym.h>

namespace {

constexpr unsigned long unicodeKeysymBase = 0x01000000;

} // namespace

namespace X11Keysyms {

std::optional<unsigned long> ofSpecialKey(SpecialKey key)
{
    switch (key) {
    case SpecialKey::Enter:
        return XK_Return;
    case SpecialKey::Backspace:
        return XK_BackSpace;
    case SpecialKey::Tab:
        return XK_Tab;
    case SpecialKey::Escape:
        return XK_Escape;
    case SpecialKey::ArrowLeft:
        return XK_Left;
    case SpecialKey::ArrowUp:
        return XK_Up;
    case SpecialKey::ArrowRight:
        return XK_Right;
    case SpecialKey::ArrowDown:
        return XK_Down;
    case SpecialKey::Delete:
        return XK_Delete;
    case SpecialKey::Space:
        return XK_space;
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
