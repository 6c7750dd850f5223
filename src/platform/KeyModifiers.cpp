#include "KeyModifiers.h"

QString KeyModifiers::name(KeyModifier modifier)
{
    switch (modifier) {
    case KeyModifier::Shift:
        return QStringLiteral("shift");
    case KeyModifier::Control:
        return QStringLiteral("control");
    case KeyModifier::Alt:
        return QStringLiteral("alt");
    case KeyModifier::Meta:
        break;
    }
    return QStringLiteral("meta");
}

std::optional<KeyModifier> KeyModifiers::fromName(const QString &name)
{
    for (const KeyModifier modifier : pressOrder) {
        if (name.compare(KeyModifiers::name(modifier), Qt::CaseInsensitive) == 0)
            return modifier;
    }
    return std::nullopt;
}

QStringList KeyModifiers::names() const
{
    QStringList names;
    for (const KeyModifier modifier : pressOrder) {
        if (contains(modifier))
            names.append(name(modifier));
    }
    return names;
}

KeyModifiers KeyModifiers::fromNames(const QStringList &names)
{
    KeyModifiers modifiers;
    for (const QString &name : names) {
        if (const std::optional<KeyModifier> modifier = fromName(name))
            modifiers.add(*modifier);
    }
    return modifiers;
}
