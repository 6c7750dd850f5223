#pragma once

#include <QtGlobal>

#include <chrono>
#include <optional>

// What either side of a session asks a switchboard that holds requests (a long poll, a paced
// push): decisions from what the switchboard announced and answered.
struct HoldPacing
{
    // Between the end of one request and the start of the next, when the switchboard holds
    // nothing: a switchboard that answers at once is asked about ten times a second.
    static constexpr std::chrono::milliseconds pause{90};
    // The longest hold asked for, whatever longer one the switchboard allows: a tunnel gives up
    // on a request held much longer.
    static constexpr std::chrono::milliseconds longestWait{25000};

    // The "waitMs" to send, from the connect or claim answer's "maxWaitMs"; none: send none.
    static std::optional<qint64> waitFor(std::optional<qint64> maxWaitMs);
    // The pause before the next poll: none after a held poll, unless it came back empty sooner
    // than `pause` (a switchboard that holds nothing after all would be asked again at once);
    // `pause` always when polls are not held.
    static std::chrono::milliseconds pauseAfter(bool held, bool advanced, std::chrono::milliseconds took,
                                                std::chrono::milliseconds pause = HoldPacing::pause);
};
