#include "PollPacing.h"

#include <algorithm>

std::optional<qint64> PollPacing::waitFor(std::optional<qint64> maxWaitMs)
{
    return HoldPacing::waitFor(maxWaitMs);
}

std::chrono::milliseconds PollPacing::pauseAfter(bool held, bool advanced, std::chrono::milliseconds took)
{
    return HoldPacing::pauseAfter(held, advanced, took);
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
