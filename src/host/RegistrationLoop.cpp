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

QCoro::Task<> RegistrationLoop::run(std::stop_token stop)
{
    co_await cancellablePause(m_firstPass, stop);
    while (!stop.stop_requested()) {
        const bool open = !m_gate || co_await m_gate();
        if (stop.stop_requested())
            co_return;
        if (!open) {
            co_await cancellablePause(m_period, stop);
            continue;
        }
        co_await m_registerHost();
        if (stop.stop_requested())
            co_return;
        co_await m_heartbeat();
        if (stop.stop_requested())
            co_return;
        co_await cancellablePause(m_period, stop);
    }
}
