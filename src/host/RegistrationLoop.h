#pragma once

#include "StoppableTask.h"

#include <chrono>
#include <functional>
#include <stop_token>

// Keeps this host known to the switchboard for as long as it runs: after `firstPass`, a
// registration and a heartbeat, then a pause of `period`, and again. A pass whose requests fail
// changes nothing here: the next one simply tries again. Each pass first asks its gate, if it
// has one, whether the switchboard may be talked to now; a closed gate skips that pass. Run by
// an OwnedTask; main thread.
class RegistrationLoop
{
public:
    // One request of a pass, run under the loop's stop.
    using Step = std::function<StoppableTask<>(std::stop_token)>;
    // True when the pass may go on.
    using Gate = std::function<StoppableTask<bool>(std::stop_token)>;

    RegistrationLoop(Step registerHost, Step heartbeat, std::chrono::milliseconds firstPass,
                     std::chrono::milliseconds period, Gate gate = {});

    StoppableTask<> run(std::stop_token stop);

private:
    Step m_registerHost;
    Step m_heartbeat;
    Gate m_gate;
    std::chrono::milliseconds m_firstPass;
    std::chrono::milliseconds m_period;
};
