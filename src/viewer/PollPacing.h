#pragma once

#include "HoldPacing.h"
#include "KivrenError.h"

#include <QtGlobal>

#include <chrono>
#include <optional>

// When the viewer's next poll leaves, how long it asks to be held, and when the other side
// counts as not answering: decisions from what the switchboard announced and answered.
struct PollPacing
{
    // Between the end of one poll and the start of the next, when the switchboard holds nothing.
    static constexpr std::chrono::milliseconds pause = HoldPacing::pause;
    // The longest hold asked for, whatever longer one the switchboard allows.
    static constexpr std::chrono::milliseconds longestWait = HoldPacing::longestWait;
    // The other side is not answering once it has been quiet for longer than this.
    static constexpr std::chrono::milliseconds peerQuietLimit{4000};

    // After a poll failed in a way that may pass (see mayPass), it is tried again after this
    // pause, answered at once, for as long as retryFor from the first failure in a row.
    static constexpr std::chrono::milliseconds retryPause{1000};
    static constexpr std::chrono::milliseconds retryFor{60000};

    // The "waitMs" to send, from the connect answer's "maxWaitMs"; none: send none.
    static std::optional<qint64> waitFor(std::optional<qint64> maxWaitMs);
    // The pause before the next poll: none after a held poll, unless it came back empty sooner
    // than the pause (a switchboard that holds nothing after all would be asked again at once);
    // the pause always when polls are not held.
    static std::chrono::milliseconds pauseAfter(bool held, bool advanced, std::chrono::milliseconds took);
    // Whether an answer's "peerQuietMs" says the other side is not answering.
    static bool peerQuiet(std::optional<qint64> peerQuietMs);
    // How a live session stands with the other side: heard, not answering (quiet, or polls
    // failing), or being opened again.
    enum class Health { live, notAnswering, reconnecting };
    // What follows a failed request of a live session: the same request again (a failure that
    // may pass), the session opened again (the switchboard no longer knows it, or the host is
    // not back yet, after failures that may pass), or the end.
    enum class AfterFailure { retry, reopen, giveUp };
    static AfterFailure afterFailure(const KivrenError &error, bool alreadyFailing);

    // Whether a failed poll may pass if tried again: the network, a timeout, a switchboard
    // restarting behind its tunnel (5xx). A refusal (the session unknown or ended) does not.
    static bool mayPass(const KivrenError &error);
};
