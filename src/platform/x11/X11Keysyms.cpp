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
    case SpecialKey::Home:
        return XK_Home;
    case SpecialKey::End:
        return XK_End;
    case SpecialKey::PageUp:
        return XK_Prior;
    case SpecialKey::PageDown:
        return XK_Next;
    case SpecialKey::Insert:
        return XK_Insert;
    case SpecialKey::F1:
    case SpecialKey::F2:
    case SpecialKey::F3:
    case SpecialKey::F4:
    case SpecialKey::F5:
    case SpecialKey::F6:
    case SpecialKey::F7:
    case SpecialKey::F8:
    case SpecialKey::F9:
    case SpecialKey::F10:
    case SpecialKey::F11:
    case SpecialKey::F12:
        // The function keys are consecutive in both enumerations.
        return XK_F1 + (static_cast<unsigned long>(key) - static_cast<unsigned long>(SpecialKey::F1));
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
