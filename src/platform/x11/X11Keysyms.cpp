#include "X11Keysyms.h"

#include <X11/keysym.h>

namespace {

constexpr unsigned long unicodeKeysymBase = 0x01000000;

} // namespace

namespace X11Keysyms {

std::optional<unsigned long> ofNamedKey(NamedKey key)
{
    switch (key) {
    case NamedKey::Enter:
        return XK_Return;
    case NamedKey::Backspace:
        return XK_BackSpace;
    case NamedKey::Tab:
        return XK_Tab;
    case NamedKey::Escape:
        return XK_Escape;
    case NamedKey::ArrowLeft:
        return XK_Left;
    case NamedKey::ArrowUp:
        return XK_Up;
    case NamedKey::ArrowRight:
        return XK_Right;
    case NamedKey::ArrowDown:
        return XK_Down;
    case NamedKey::Delete:
        return XK_Delete;
    case NamedKey::Space:
        return XK_space;
    case NamedKey::Home:
        return XK_Home;
    case NamedKey::End:
        return XK_End;
    case NamedKey::PageUp:
        return XK_Prior;
    case NamedKey::PageDown:
        return XK_Next;
    case NamedKey::Insert:
        return XK_Insert;
    case NamedKey::F1:
    case NamedKey::F2:
    case NamedKey::F3:
    case NamedKey::F4:
    case NamedKey::F5:
    case NamedKey::F6:
    case NamedKey::F7:
    case NamedKey::F8:
    case NamedKey::F9:
    case NamedKey::F10:
    case NamedKey::F11:
    case NamedKey::F12:
        // The function keys are consecutive in both enumerations.
        return XK_F1 + (static_cast<unsigned long>(key) - static_cast<unsigned long>(NamedKey::F1));
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
