#include "DesktopBackend.h"

namespace {
DesktopBackend *installed = nullptr;
}

DesktopBackend *DesktopBackend::current()
{
    return installed;
}

void DesktopBackend::install(DesktopBackend *backend)
{
    installed = backend;
}

DesktopBackend::State DesktopBackend::state() const
{
    return m_state;
}

void DesktopBackend::setStateObserver(std::function<void(State)> observer)
{
    m_stateObserver = std::move(observer);
}

void DesktopBackend::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    // A copy: the observer may replace itself.
    if (const std::function<void(State)> observer = m_stateObserver)
        observer(state);
}
