#include "SpecialKey.h"

#include <array>

namespace {

struct Named
{
    SpecialKey key;
    const char *name;
    bool basic;
};

// The one table of the names a viewer may send for these keys.
constexpr std::array<Named, 27> names{{
    {SpecialKey::Enter, "enter", true},
    {SpecialKey::Backspace, "backspace", true},
    {SpecialKey::Tab, "tab", true},
    {SpecialKey::Escape, "escape", true},
    {SpecialKey::ArrowLeft, "arrowleft", true},
    {SpecialKey::ArrowUp, "arrowup", true},
    {SpecialKey::ArrowRight, "arrowright", true},
    {SpecialKey::ArrowDown, "arrowdown", true},
    {SpecialKey::Delete, "delete", true},
    {SpecialKey::Space, "space", true},
    {SpecialKey::Home, "home", false},
    {SpecialKey::End, "end", false},
    {SpecialKey::PageUp, "pageup", false},
    {SpecialKey::PageDown, "pagedown", false},
    {SpecialKey::Insert, "insert", false},
    {SpecialKey::F1, "f1", false},
    {SpecialKey::F2, "f2", false},
    {SpecialKey::F3, "f3", false},
    {SpecialKey::F4, "f4", false},
    {SpecialKey::F5, "f5", false},
    {SpecialKey::F6, "f6", false},
    {SpecialKey::F7, "f7", false},
    {SpecialKey::F8, "f8", false},
    {SpecialKey::F9, "f9", false},
    {SpecialKey::F10, "f10", false},
    {SpecialKey::F11, "f11", false},
    {SpecialKey::F12, "f12", false},
}};

const Named *find(SpecialKey key)
{
    for (const Named &named : names) {
        if (named.key == key)
            return &named;
    }
    return nullptr;
}

} // namespace

QString codeName(SpecialKey key)
{
    const Named *named = find(key);
    return named ? QLatin1String(named->name) : QString();
}

std::optional<SpecialKey> specialKeyFromCodeName(const QString &codeName)
{
    const QString lowered = codeName.toLower();
    for (const Named &named : names) {
        if (lowered == QLatin1String(named.name))
            return named.key;
    }
    return std::nullopt;
}

bool isBasicSpecialKey(SpecialKey key)
{
    const Named *named = find(key);
    return named && named->basic;
}
