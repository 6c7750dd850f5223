#pragma once

#include <functional>

// Whether the desktop lets this program capture and inject at the moment. Desktops that hand
// out screen sharing only after a session of their own is set up (Wayland) or after the person
// at the machine agreed (the desktop portal's dialog) report the way there; the others are Ready
// from the start. Captures and input are dropped while it is not Ready.
class DesktopSharing
{
public:
    enum class State {
        Starting,          // setting up the desktop's screen-sharing session
        WaitingForConsent, // the desktop asks the person at the machine
        Refused,           // the person declined, or stopped sharing since
        Ready,
        Failed,            // no screen-sharing service, or it broke off (set up again by
                           // itself where that asks nobody, else on requestAccess())
    };

    virtual ~DesktopSharing() = default;

    State state() const;
    // Called on the main thread after every change of state(); one observer at a time, an
    // empty function removes it.
    void setStateObserver(std::function<void(State)> observer);
    // Asks the desktop again after Refused or Failed (the portal shows its dialog once more).
    // Nothing to do where no consent is involved.
    virtual void requestAccess() {}
    // The desktop asks the person at the machine every time sharing is set up, as it cannot
    // keep the permission (Debian 12's portal). Known once the state has left Starting.
    virtual bool asksEveryTime() const { return false; }

protected:
    // For backends with a set-up of their own; notifies the observer when the state changes.
    void setState(State state);

private:
    State m_state = State::Ready;
    std::function<void(State)> m_stateObserver;
};
