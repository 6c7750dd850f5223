#pragma once

#include <QCoroTask>

#include <chrono>
#include <functional>
#include <stop_token>

// Keeps this host known to the switchboard for as long as it runs: after `firstPass`, a
// registration and a heartbeat, then a pause of `period`, and again. A pass whose requests fail
// changes nothing here: the next one simply tries again. Run by an OwnedTask; main thread.
class RegistrationLoop
{
public:
    // One request of a pass; called only while the loop has not been stopped.
    using Step = std::function<QCoro::Task<>()>;

    RegistrationLoop(Step registerHost, Step heartbeat, std::chrono::milliseconds firstPass,
                     std::chrono::milliseconds period);

    QCoro::Task<> run(std::stop_token stop);

private:
    Step m_registerHost;
    Step m_heartbeat;
    std::chrono::milliseconds m_firstPass;
    std::chrono::milliseconds m_period;
};
