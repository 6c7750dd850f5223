#include "Transport.h"

#include <array>
#include <utility>

namespace {

const std::array<std::pair<Transport, QString>, 3> names{{
    {Transport::lan, QStringLiteral("lan")},
    {Transport::p2p, QStringLiteral("p2p")},
    {Transport::relay, QStringLiteral("relay")},
}};

} // namespace

QString rawText(Transport transport)
{
    for (const auto &[value, text] : names) {
        if (value == transport)
            return text;
    }
    return {};
}

std::optional<Transport> transportFromRaw(const QString &text)
{
    for (const auto &[value, name] : names) {
        if (name == text)
            return value;
    }
    return std::nullopt;
}
