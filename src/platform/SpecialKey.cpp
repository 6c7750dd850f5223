#include "SpecialKey.h"

#include <array>
#include <utility>

namespace {

// The one table of the names a viewer may send for these keys.
constexpr std::array<std::pair<SpecialKey, const char *>, 10> names{{
    {SpecialKey::Enter, "enter"},
    {SpecialKey::Backspace, "backspace"},
    {SpecialKey::Tab, "tab"},
    {SpecialKey::Escape, "escape"},
    {SpecialKey::ArrowLeft, "arrowleft"},
    {SpecialKey::ArrowUp, "arrowup"},
    {SpecialKey::ArrowRight, "arrowright"},
    {SpecialKey::ArrowDown, "arrowdown"},
    {SpecialKey::Delete, "delete"},
    {SpecialKey::Space, "space"},
}};

} // namespace

QString codeName(SpecialKey key)
{
    for (const auto &[named, name] : names) {
        if (named == key)
            return QLatin1String(name);
    }
    return {};
}

std::optional<SpecialKey> specialKeyFromCodeName(const QString &codeName)
{
    const QString lowered = codeName.toLower();
    for (const auto &[key, name] : names) {
        if (lowered == QLatin1String(name))
            return key;
    }
    return std::nullopt;
}
