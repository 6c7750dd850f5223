#include "HoldPacing.h"

#include <algorithm>

std::optional<qint64> HoldPacing::waitFor(std::optional<qint64> maxWaitMs)
{
    if (!maxWaitMs || *maxWaitMs <= 0)
        return std::nullopt;
    return std::min<qint64>(*maxWaitMs, longestWait.count());
}

std::chrono::milliseconds HoldPacing::pauseAfter(bool held, bool advanced, std::chrono::milliseconds took,
                                                 std::chrono::milliseconds pause)
{
    if (held && (advanced || took >= pause))
        return std::chrono::milliseconds(0);
    return pause;
}
