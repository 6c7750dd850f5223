#include "StatusTone.h"

#include <array>
#include <utility>

namespace {

const std::array<std::pair<StatusTone, QString>, 3> names{{
    {StatusTone::ok, QStringLiteral("ok")},
    {StatusTone::warning, QStringLiteral("warning")},
    {StatusTone::error, QStringLiteral("error")},
}};

} // namespace

QString rawText(StatusTone tone)
{
    for (const auto &[value, text] : names) {
        if (value == tone)
            return text;
    }
    return {};
}
