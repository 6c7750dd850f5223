#include "WaylandKeysyms.h"

#include <xkbcommon/xkbcommon.h>

namespace WaylandKeysyms {

std::optional<std::uint32_t> ofNamedKey(NamedKey key)
{
    switch (key) {
    case NamedKey::Enter:
        return XKB_KEY_Return;
    case NamedKey::Backspace:
        return XKB_KEY_BackSpace;
    case NamedKey::Tab:
        return XKB_KEY_Tab;
    case NamedKey::Escape:
        return XKB_KEY_Escape;
    case NamedKey::ArrowLeft:
        return XKB_KEY_Left;
    case NamedKey::ArrowUp:
        return XKB_KEY_Up;
    case NamedKey::ArrowRight:
        return XKB_KEY_Right;
    case NamedKey::ArrowDown:
        return XKB_KEY_Down;
    case NamedKey::Delete:
        return XKB_KEY_Delete;
    case NamedKey::Space:
        return XKB_KEY_space;
    case NamedKey::Home:
        return XKB_KEY_Home;
    case NamedKey::End:
        return XKB_KEY_End;
    case NamedKey::PageUp:
        return XKB_KEY_Prior;
    case NamedKey::PageDown:
        return XKB_KEY_Next;
    case NamedKey::Insert:
        return XKB_KEY_Insert;
    case NamedKey::F1:
        return XKB_KEY_F1;
    case NamedKey::F2:
        return XKB_KEY_F2;
    case NamedKey::F3:
        return XKB_KEY_F3;
    case NamedKey::F4:
        return XKB_KEY_F4;
    case NamedKey::F5:
        return XKB_KEY_F5;
    case NamedKey::F6:
        return XKB_KEY_F6;
    case NamedKey::F7:
        return XKB_KEY_F7;
    case NamedKey::F8:
        return XKB_KEY_F8;
    case NamedKey::F9:
        return XKB_KEY_F9;
    case NamedKey::F10:
        return XKB_KEY_F10;
    case NamedKey::F11:
        return XKB_KEY_F11;
    case NamedKey::F12:
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
