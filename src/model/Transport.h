#pragma once

#include <QHash>
#include <QString>

#include <optional>

// How the switchboard says the two ends are joined.
enum class Transport { lan, p2p, relay };

QString rawText(Transport transport);
// Case-sensitive: an unlisted text yields no value.
std::optional<Transport> transportFromRaw(const QString &text);

inline size_t qHash(Transport transport, size_t seed = 0) noexcept
{
    return ::qHash(static_cast<int>(transport), seed);
}
