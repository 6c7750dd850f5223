#pragma once

#include <QRect>

#include <memory>
#include <optional>

class X11Connection;
// Xlib's own forward declaration of XEvent (this header stays free of Xlib).
union _XEvent;

// Where the main display lies on the X screen: asked of RandR once, and again after the server
// reports a change of the screen layout. Main thread only.
class X11DisplayLayout
{
public:
    // Watches the layout when the server has RandR 1.3 or later (outputs and the primary one);
    // without it the main display is the whole root window.
    explicit X11DisplayLayout(std::shared_ptr<X11Connection> connection);

    // The main display's rectangle in root coordinates; empty when the server does not answer.
    QRect mainDisplay();
    // The next mainDisplay() asks the server again.
    void forget();
    // Takes the RandR events that announce a new layout; false for every other event.
    bool handle(_XEvent &event);

private:
    QRect query() const;

    std::shared_ptr<X11Connection> m_connection;
    bool m_randr = false;
    int m_randrEventBase = 0;
    std::optional<QRect> m_mainDisplay; // kept until the layout changes
};
