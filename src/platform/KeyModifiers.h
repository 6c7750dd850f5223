#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>

// A modifier key held with a key or pointer event. On this system's keyboards Meta is the Super
// (Windows) key.
enum class KeyModifier : std::uint8_t { Shift, Control, Alt, Meta };

// The modifiers held with one key or pointer event. They are pressed (and named on the wire) in
// the order shift, control, alt, meta, and released in the reverse order.
class KeyModifiers
{
public:
    static constexpr std::array<KeyModifier, 4> pressOrder{KeyModifier::Shift, KeyModifier::Control,
                                                           KeyModifier::Alt, KeyModifier::Meta};

    constexpr KeyModifiers() = default;
    constexpr KeyModifiers(std::initializer_list<KeyModifier> modifiers)
    {
        for (const KeyModifier modifier : modifiers)
            m_bits |= bit(modifier);
    }

    constexpr bool isEmpty() const { return m_bits == 0; }
    constexpr bool contains(KeyModifier modifier) const { return (m_bits & bit(modifier)) != 0; }
    constexpr void add(KeyModifier modifier) { m_bits |= bit(modifier); }
    constexpr void remove(KeyModifier modifier) { m_bits &= static_cast<std::uint8_t>(~bit(modifier)); }
    constexpr std::uint8_t bits() const { return m_bits; }

    // "shift", "control", "alt", "meta".
    static QString name(KeyModifier modifier);
    // The modifier a name means, whatever its letter case; none for every other name.
    static std::optional<KeyModifier> fromName(const QString &name);

    // The names of the modifiers held, in press order.
    QStringList names() const;
    // The modifiers named; names it does not know are skipped.
    static KeyModifiers fromNames(const QStringList &names);

    friend constexpr bool operator==(KeyModifiers, KeyModifiers) = default;

private:
    static constexpr std::uint8_t bit(KeyModifier modifier)
    {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(modifier));
    }

    std::uint8_t m_bits = 0;
};
