#include "X11ClickFocus.h"

#include "X11Connection.h"

#include <thread>
#include <utility>

// Xlib last: its macros clash with Qt headers.
#include "X11ErrorTrap.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

constexpr std::chrono::milliseconds focusPollPause{2};

} // namespace

X11ClickFocus::X11ClickFocus(std::shared_ptr<X11Connection> connection)
    : m_connection(std::move(connection))
{}

void X11ClickFocus::clicked()
{
    m_click = std::chrono::steady_clock::now();
}

void X11ClickFocus::awaitFocus()
{
    if (!m_click)
        return;
    const auto deadline = *m_click + waitLimit;
    m_click.reset();
    if (std::chrono::steady_clock::now() >= deadline)
        return;

    Display *display = m_connection->display();
    // Windows may vanish while we look at them: that only ends the wait.
    X11ErrorTrap trap;
    // The click has reached the server, so the window manager has it or soon will.
    XSync(display, False);
    if (!windowManagerRuns())
        return;
    Window rootReturn = 0;
    Window target = 0;
    int rootX = 0;
    int rootY = 0;
    int x = 0;
    int y = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display, m_connection->root(), &rootReturn, &target, &rootX, &rootY, &x, &y, &mask) || !target)
        return;
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, target, &attributes) || attributes.override_redirect)
        return;

    for (;;) {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(display, &focus, &revert);
        if (focus == PointerRoot || (focus != None && topLevelOf(focus) == target))
            return;
        if (trap.failed() || std::chrono::steady_clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(focusPollPause);
    }
}

// Window managers that follow the desktop conventions announce themselves on the root window.
bool X11ClickFocus::windowManagerRuns() const
{
    Display *display = m_connection->display();
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", True);
    if (check == None)
        return false;
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char *data = nullptr;
    const int status = XGetWindowProperty(display, m_connection->root(), check, 0, 1, False, XA_WINDOW, &type, &format,
                                          &count, &after, &data);
    if (data)
        XFree(data);
    return status == Success && type == XA_WINDOW && count == 1;
}

// The child of the root window that holds `window` (a manager's frame, or the window itself).
unsigned long X11ClickFocus::topLevelOf(unsigned long window) const
{
    Display *display = m_connection->display();
    const Window root = m_connection->root();
    Window current = window;
    while (current != None && current != root) {
        Window rootReturn = 0;
        Window parent = 0;
        Window *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, current, &rootReturn, &parent, &children, &count))
            return None;
        if (children)
            XFree(children);
        if (parent == root)
            return current;
        current = parent;
    }
    return None;
}
