#include "WaylandKeysyms.h"

#include <xkbcommon/xkbcommon.h>

namespace WaylandKeysyms {

std::optional<std::uint32_t> ofSpecialKey(SpecialKey key)
{
    switch (key) {
    case SpecialKey::Enter:
        return XKB_KEY_Return;
    case SpecialKey::Backspace:
        return XKB_KEY_BackSpace;
    case SpecialKey::Tab:
        return XKB_KEY_Tab;
    case SpecialKey::Escape:
        return XKB_KEY_Escape;
    case SpecialKey::ArrowLeft:
        return XKB_KEY_Left;
    case SpecialKey::ArrowUp:
        return XKB_KEY_Up;
    case SpecialKey::ArrowRight:
        return XKB_KEY_Right;
    case SpecialKey::ArrowDown:
        return XKB_KEY_Down;
    case SpecialKey::Delete:
        return XKB_KEY_Delete;
    case SpecialKey::Space:
        return XKB_KEY_space;
    case SpecialKey::Home:
        return XKB_KEY_Home;
    case SpecialKey::End:
        return XKB_KEY_End;
    case SpecialKey::PageUp:
        return XKB_KEY_Prior;
    case SpecialKey::PageDown:
        return XKB_KEY_Next;
    case SpecialKey::Insert:
        return XKB_KEY_Insert;
    case SpecialKey::F1:
        return XKB_KEY_F1;
    case SpecialKey::F2:
        return XKB_KEY_F2;
    case SpecialKey::F3:
        return XKB_KEY_F3;
    case SpecialKey::F4:
        return XKB_KEY_F4;
    case SpecialKey::F5:
        return XKB_KEY_F5;
    case SpecialKey::F6:
        return XKB_KEY_F6;
    case SpecialKey::F7:
        return XKB_KEY_F7;
    case SpecialKey::F8:
        return XKB_KEY_F8;
    case SpecialKey::F9:
        return XKB_KEY_F9;
    case SpecialKey::F10:
        return XKB_KEY_F10;
    case SpecialKey::F11:
        return XKB_KEY_F11;
    case SpecialKey::F12:
        return XKB_KEY_F12;
    }
    return std::nullopt;
}

std::uint32_t ofModifier(KeyModifier modifier)
{
    switch (modifier) {
    case KeyModifier::Shift:
        return XKB_KEY_Shift_L;
    case KeyModifier::Control:
        return XKB_KEY_Control_L;
    case KeyModifier::Alt:
        return XKB_KEY_Alt_L;
    case KeyModifier::Meta:
        break;
    }
    return XKB_KEY_Super_L;
}

std::uint32_t capsLock()
{
    return XKB_KEY_Caps_Lock;
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
