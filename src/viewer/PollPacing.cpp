#include "PollPacing.h"

#include <algorithm>

std::optional<qint64> PollPacing::waitFor(std::optional<qint64> maxWaitMs)
{
    if (!maxWaitMs || *maxWaitMs <= 0)
        return std::nullopt;
    return std::min<qint64>(*maxWaitMs, longestWait.count());
}

std::chrono::milliseconds PollPacing::pauseAfter(bool held, bool advanced, std::chrono::milliseconds took)
{
    if (held && (advanced || took >= pause))
        return std::chrono::milliseconds(0);
    return pause;
}

bool PollPacing::peerQuiet(std::optional<qint64> peerQuietMs)
{
    return peerQuietMs && *peerQuietMs > peerQuietLimit.count();
}

bool PollPacing::mayPass(const KivrenError &error)
{
    if (error.domain == KivrenError::kivrenDomain)
        return error.code >= 500;
    return error.domain == KivrenError::urlDomain && error.code != KivrenError::cancelled
        && error.code != KivrenError::badURL;
}
