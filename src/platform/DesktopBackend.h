#pragma once

#include "KeyModifiers.h"
#include "ScreenImage.h"
#include "NamedKey.h"

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

    // One wheel click as a pixel delta: a backend that scrolls in whole clicks scrolls one per
    // this many pixels, and a viewer turns one notch of its wheel into as many.
    static constexpr double pixelsPerWheelClick = 40;

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
    // clickState: 1 for a single click, 2 for a double click, ... A press with a click state of
    // n >= 2 must reach the desktop as the n-th click of one multiple click, even when the press
    // before it came longer ago than the desktop's double-click interval (the viewer's clicks
    // can arrive in different polls): a backend whose desktop counts clicks by their timing
    // repeats the earlier clicks just before it when they are too old to count.
    virtual void postMouse(MouseEvent type, QPointF point, std::int64_t clickState) = 0;
    // A pixel-unit vertical scroll placed at `point`; positive scrolls up. The pointer ends where
    // it was on X11; a Wayland desktop does not tell where that is, so there it stays at `point`.
    // A backend that scrolls in whole clicks (pixelsPerWheelClick each, see WheelClicks) carries
    // what is left over to the next call, so that many small deltas scroll as far as one large one.
    virtual void postScroll(QPointF point, std::int32_t deltaY) = 0;
    // A press types the key (whole keystroke or held, the backend's choice); a release ends it.
    // Covers every NamedKey, the further keys (Home ... F12) included.
    virtual void postKey(NamedKey key, bool down) = 0;
    // Types the characters of `text` exactly, from its start: Caps Lock and modifiers held by
    // anyone but holdModifiers() do not change what comes out (the ones held through
    // holdModifiers do: a shortcut's key is typed this way). Returns how many UTF-16 units of
    // `text` are done (whole characters; one that cannot be typed at all counts as done). It
    // never blocks for long: it stops early, even before the first character, when the next
    // one has to wait (X: for a spare keycode that a client may not have read yet), and the
    // caller passes the rest again later. Callers keep `text` short (the host types long text
    // in slices). Right after a click, keys and text first let the desktop move the keyboard
    // focus to the clicked window (bounded: a few hundred milliseconds at most).
    virtual qsizetype typeText(const QString &text) = 0;
    // Holds exactly `modifiers` from now on, for the key, text and pointer actions that follow:
    // presses the ones not held yet in KeyModifiers::pressOrder, releases the ones no longer
    // wanted in the reverse order. The host holds a message's modifiers around its action and
    // holds none afterwards, so nothing stays pressed. A backend also lets go of what it holds
    // when it is destroyed.
    virtual void holdModifiers(KeyModifiers modifiers) = 0;

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
    // The desktop asks the person at the machine every time sharing is set up, as it cannot
    // keep the permission (Debian 12's portal). Known once the state has left Starting.
    virtual bool asksEveryTime() const { return false; }

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
