#include "NamedKey.h"

#include <array>

namespace {

struct Named
{
    NamedKey key;
    const char *name;
    bool basic;
};

// The one table of the names a viewer may send for these keys.
constexpr std::array<Named, 27> names{{
    {NamedKey::Enter, "enter", true},
    {NamedKey::Backspace, "backspace", true},
    {NamedKey::Tab, "tab", true},
    {NamedKey::Escape, "escape", true},
    {NamedKey::ArrowLeft, "arrowleft", true},
    {NamedKey::ArrowUp, "arrowup", true},
    {NamedKey::ArrowRight, "arrowright", true},
    {NamedKey::ArrowDown, "arrowdown", true},
    {NamedKey::Delete, "delete", true},
    {NamedKey::Space, "space", true},
    {NamedKey::Home, "home", false},
    {NamedKey::End, "end", false},
    {NamedKey::PageUp, "pageup", false},
    {NamedKey::PageDown, "pagedown", false},
    {NamedKey::Insert, "insert", false},
    {NamedKey::F1, "f1", false},
    {NamedKey::F2, "f2", false},
    {NamedKey::F3, "f3", false},
    {NamedKey::F4, "f4", false},
    {NamedKey::F5, "f5", false},
    {NamedKey::F6, "f6", false},
    {NamedKey::F7, "f7", false},
    {NamedKey::F8, "f8", false},
    {NamedKey::F9, "f9", false},
    {NamedKey::F10, "f10", false},
    {NamedKey::F11, "f11", false},
    {NamedKey::F12, "f12", false},
}};

const Named *find(NamedKey key)
{
    for (const Named &named : names) {
        if (named.key == key)
            return &named;
    }
    return nullptr;
}

} // namespace

QString codeName(NamedKey key)
{
    const Named *named = find(key);
    return named ? QLatin1String(named->name) : QString();
}

std::optional<NamedKey> namedKeyFromCodeName(const QString &codeName)
{
    const QString lowered = codeName.toLower();
    for (const Named &named : names) {
        if (lowered == QLatin1String(named.name))
            return named.key;
    }
    return std::nullopt;
}

bool isBasicNamedKey(NamedKey key)
{
    const Named *named = find(key);
    return named && named->basic;
}
