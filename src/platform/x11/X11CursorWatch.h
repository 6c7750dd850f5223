#pragma once

#include "DesktopCursor.h"

#include <memory>
#include <optional>

class X11Connection;
// Xlib's own forward declaration of XEvent (this header stays free of Xlib).
union _XEvent;

// The X server's pointer for viewers to draw: its shape from the XFIXES extension, read again
// only after the server reported a new one (XFixesSelectCursorInput), and its position. Without
// the extension there is no pointer to report. Main thread only.
class X11CursorWatch
{
public:
    explicit X11CursorWatch(std::shared_ptr<X11Connection> connection);
    ~X11CursorWatch();
    X11CursorWatch(const X11CursorWatch &) = delete;
    X11CursorWatch &operator=(const X11CursorWatch &) = delete;

    bool watching() const { return m_watching; }
    // The pointer now, with its image when the shape changed since the last call (or on the
    // first); none without the extension or when the server answers nothing.
    std::optional<DesktopCursor> cursor();
    // Takes the shape change reports; false for every other event.
    bool handle(_XEvent &event);

private:
    std::shared_ptr<X11Connection> m_connection;
    bool m_watching = false;
    int m_eventBase = 0;
    bool m_shapeChanged = true; // nothing read yet
    std::uint64_t m_shape = 0;
};
