#pragma once

// Includes Xlib, whose macros clash with Qt headers: only the backend's sources include this
// header, after all others.
#include <X11/Xlib.h>

// Xlib's default error handler ends the process. Requests that the server may legitimately
// refuse (shared memory, GetImage of a rectangle that just vanished, keymap changes) run under
// a trap, which only counts the errors that arrive while it is set. Main thread only.
class X11ErrorTrap
{
public:
    X11ErrorTrap();
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap &) = delete;
    X11ErrorTrap &operator=(const X11ErrorTrap &) = delete;

    // True once an error has arrived since the trap was set.
    bool failed() const;

private:
    XErrorHandler m_previous;
    int m_before;
};
