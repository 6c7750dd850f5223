#pragma once

#include <chrono>
#include <memory>
#include <optional>

class X11Connection;

// Keeps keys that follow a click from going to the window that had the focus before it. With a
// window manager that focuses on click, the click reaches the manager first, and keys sent at
// once (the viewer's text right behind its click, in the same poll answer) arrive while the
// old window still has the focus. So after a click the first keyboard action waits until the
// window under the pointer has the focus: bounded by `waitLimit` from the click, and not at
// all without a window manager, for windows no manager focuses (override-redirect), or with a
// focus that follows the pointer. Main thread only.
class X11ClickFocus
{
public:
    static constexpr std::chrono::milliseconds waitLimit{150};

    explicit X11ClickFocus(std::shared_ptr<X11Connection> connection);

    // A button was pressed just now.
    void clicked();
    // Before a key or text: returns once the clicked window has the focus, or the wait is over.
    void awaitFocus();

private:
    bool windowManagerRuns() const;
    unsigned long topLevelOf(unsigned long window) const;

    std::shared_ptr<X11Connection> m_connection;
    std::optional<std::chrono::steady_clock::time_point> m_click;
};
