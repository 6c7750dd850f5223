#include "RegistrationLoop.h"

#include "CancellablePause.h"

RegistrationLoop::RegistrationLoop(Step registerHost, Step heartbeat, std::chrono::milliseconds firstPass,
                                   std::chrono::milliseconds period, Gate gate)
    : m_registerHost(std::move(registerHost))
    , m_heartbeat(std::move(heartbeat))
    , m_gate(std::move(gate))
    , m_firstPass(firstPass)
    , m_period(period)
{
}

StoppableTask<> RegistrationLoop::run(std::stop_token stop)
{
    co_await cancellablePause(m_firstPass, stop);
    for (;;) {
        const bool open = !m_gate || co_await m_gate(stop);
        if (open) {
            co_await m_registerHost(stop);
            co_await m_heartbeat(stop);
        }
        co_await cancellablePause(m_period, stop);
    }
}
