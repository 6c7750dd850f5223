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
