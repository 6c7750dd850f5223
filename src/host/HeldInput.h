#pragma once

#include "DisplayGeometry.h"
#include "NamedKey.h"
#include "SessionProtocol.h"

#include <bitset>

class DesktopBackend;

// What one session has pressed on the desktop and not released yet: the pointer buttons, with
// where its pointer events last placed the pointer, and the special keys a press left held (a
// desktop that types a press as a whole keystroke holds nothing, and its release does nothing).
// A viewer that goes away mid-drag or between a key's press and its release would otherwise
// leave them down for whoever uses this computer next. Modifiers are held only around one
// message's action, but are let go of at the end all the same.
class HeldInput
{
public:
    // Notes what a message did, once it has been applied (text and keys typed as text hold
    // nothing of their own).
    void applied(const SessionProtocol::ViewerMessage &message, const DisplayGeometry &geometry);
    // Releases everything noted (the buttons where the pointer last was), then every modifier,
    // and forgets it: a second call does nothing.
    void releaseAll(DesktopBackend &desktop);
    bool isEmpty() const { return !m_left && !m_right && m_keys.none(); }

private:
    bool m_left = false;
    bool m_right = false;
    // The last pointer event's position, as fractions of the display it was placed on.
    double m_x = 0;
    double m_y = 0;
    DisplayGeometry m_geometry;
    std::bitset<32> m_keys; // by NamedKey
    // Anything applied since the last release: a session that injected nothing leaves the
    // desktop alone at its end.
    bool m_touched = false;
};
