#pragma once

#include "KeyModifiers.h"
#include "NamedKey.h"

#include <QPointF>
#include <QString>

#include <cstdint>

// Synthetic pointer, wheel and key events on the desktop. Points are global desktop coordinates
// (y grows downwards).
class DesktopInput
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

    virtual ~DesktopInput() = default;

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
};
