#include "DesktopSharing.h"

DesktopSharing::State DesktopSharing::state() const
{
    return m_state;
}

void DesktopSharing::setStateObserver(std::function<void(State)> observer)
{
    m_stateObserver = std::move(observer);
}

void DesktopSharing::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    // A copy: the observer may replace itself.
    if (const std::function<void(State)> observer = m_stateObserver)
        observer(state);
}
