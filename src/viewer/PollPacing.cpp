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

PollPacing::AfterFailure PollPacing::afterFailure(const KivrenError &error, bool alreadyFailing)
{
    if (mayPass(error))
        return AfterFailure::retry;
    // Unknown session or ID (404), host offline (409): only after an outage, a switchboard
    // restarted; at any other time the answer stands.
    if (alreadyFailing && error.domain == KivrenError::kivrenDomain && (error.code == 404 || error.code == 409))
        return AfterFailure::reopen;
    return AfterFailure::giveUp;
}
