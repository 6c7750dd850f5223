#pragma once

#include "ScreenImage.h"
#include "SpecialKey.h"

#include <QPointF>
#include <QRectF>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// The operations screen capture and input injection need from the desktop.
// Points are global desktop coordinates (y grows downwards).
class DesktopBackend
{
public:
    // Mouse event types, with the numbers the pointer events carry on the original platform.
    enum class MouseEvent {
        LeftDown = 1,
        LeftUp = 2,
        RightDown = 3,
        RightUp = 4,
        Moved = 5,
        LeftDragged = 6,
    };

    virtual ~DesktopBackend() = default;

    // Full-resolution image of the main display; none when it cannot be taken.
    virtual std::optional<ScreenImage> captureMainDisplay() = 0;
    // False only when the desktop knows that nothing on the main display changed since the last
    // captureMainDisplay(), so that a still screen costs no capture. Desktops that cannot tell
    // answer true; the caller then compares the pictures itself.
    virtual bool mainDisplayMayHaveChanged() { return true; }
    // The main display's rectangle in global coordinates.
    virtual QRectF mainDisplayBounds() = 0;

    virtual void warpPointer(QPointF point) = 0;
    // clickState: 1 for a single click, 2 for a double click, ...
    virtual void postMouse(MouseEvent type, QPointF point, std::int64_t clickState) = 0;
    // A pixel-unit vertical scroll placed at `point`. The pointer ends where it was on X11; a
    // Wayland desktop does not tell where that is, so there it stays at `point`.
    virtual void postScroll(QPointF point, std::int32_t deltaY) = 0;
    virtual void postKey(SpecialKey key, bool down) = 0;
    // Types every character of `text` (one key-down carrying all of them on the original platform).
    virtual void typeText(const QString &text) = 0;

    virtual bool isTrusted() = 0;
    virtual void promptForTrust() = 0;

    // Whether the desktop lets this program capture and inject at the moment. Desktops that
    // hand out screen sharing only after a session of their own is set up (Wayland) or after the
    // person at the machine agreed (the desktop portal's dialog) report the way there; the others
    // are Ready from the start. Captures and input are dropped while it is not Ready.
    enum class State {
        Starting,          // setting up the desktop's screen-sharing session
        WaitingForConsent, // the desktop asks the person at the machine
        Refused,           // the person declined, or stopped sharing since
        Ready,
        Failed,            // no screen-sharing service, or it broke off (set up again by
                           // itself where that asks nobody, else on requestAccess())
    };
    State state() const;
    // Called on the main thread after every change of state(); one observer at a time, an
    // empty function removes it.
    void setStateObserver(std::function<void(State)> observer);
    // Asks the desktop again after Refused or Failed (the portal shows its dialog once more).
    // Nothing to do where no consent is involved.
    virtual void requestAccess() {}

    // The backend the host uses; installed by the app (the X11 or the Wayland one) or by tests.
    // Not owned: the installer keeps it alive while installed. Null when none is installed.
    static DesktopBackend *current();
    static void install(DesktopBackend *backend);

protected:
    // For backends with a set-up of their own; notifies the observer when the state changes.
    void setState(State state);

private:
    State m_state = State::Ready;
    std::function<void(State)> m_stateObserver;
};
