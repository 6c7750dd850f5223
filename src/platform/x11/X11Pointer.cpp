#include "X11Pointer.h"

#include "WheelClicks.h"
#include "X11Connection.h"

#include <algorithm>
#include <cmath>
#include <utility>

// Xlib last: its macros clash with Qt headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

// X coordinates are signed 16-bit.
constexpr double coordinateLimit = 32767;

constexpr unsigned int leftButton = 1;
constexpr unsigned int rightButton = 3;
constexpr unsigned int wheelUpButton = 4;
constexpr unsigned int wheelDownButton = 5;

int coordinate(double value)
{
    if (std::isnan(value))
        return 0;
    return static_cast<int>(std::lround(std::clamp(value, -coordinateLimit, coordinateLimit)));
}

} // namespace

X11Pointer::X11Pointer(std::shared_ptr<X11Connection> connection)
    : m_connection(std::move(connection))
{}

void X11Pointer::warp(QPointF point)
{
    if (!m_connection->hasXTest())
        return;
    moveTo(point);
    XFlush(m_connection->display());
}

// X has no click-state field: a double click is two press/release pairs in quick succession,
// and the viewer already sends each of them as its own down and up. The click state is
// therefore ignored here; forging extra clicks from it would turn one double click into four.
void X11Pointer::post(DesktopBackend::MouseEvent type, QPointF point, std::int64_t)
{
    if (!m_connection->hasXTest())
        return;
    Display *display = m_connection->display();
    // A mouse event at a point also puts the pointer there.
    moveTo(point);
    using Mouse = DesktopBackend::MouseEvent;
    switch (type) {
    case Mouse::Moved:
    case Mouse::LeftDragged:
        break;
    case Mouse::LeftDown:
        XTestFakeButtonEvent(display, leftButton, True, CurrentTime);
        break;
    case Mouse::LeftUp:
        XTestFakeButtonEvent(display, leftButton, False, CurrentTime);
        break;
    case Mouse::RightDown:
        XTestFakeButtonEvent(display, rightButton, True, CurrentTime);
        break;
    case Mouse::RightUp:
        XTestFakeButtonEvent(display, rightButton, False, CurrentTime);
        break;
    }
    XFlush(display);
}

// Pixel deltas become wheel clicks (WheelClicks): positive (content moves down, "scroll up") is
// button 4, negative button 5. X delivers wheel clicks to the window under the pointer, so the
// pointer visits `point` for the clicks and is put back where it was.
void X11Pointer::scroll(QPointF point, std::int32_t deltaY)
{
    if (!m_connection->hasXTest() || deltaY == 0)
        return;
    Display *display = m_connection->display();
    const int signedClicks = WheelClicks::ofPixels(deltaY);
    const int clicks = std::abs(signedClicks);
    const unsigned int button = signedClicks > 0 ? wheelUpButton : wheelDownButton;

    Window rootReturn = 0;
    Window child = 0;
    int pointerX = 0;
    int pointerY = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned int mask = 0;
    const bool known = XQueryPointer(display, m_connection->root(), &rootReturn, &child, &pointerX, &pointerY,
                                     &windowX, &windowY, &mask);
    const bool visit = !known || pointerX != coordinate(point.x()) || pointerY != coordinate(point.y());
    if (visit)
        moveTo(point);
    for (int click = 0; click < clicks; ++click) {
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
    if (visit && known)
        XTestFakeMotionEvent(display, m_connection->screen(), pointerX, pointerY, CurrentTime);
    XFlush(display);
}

void X11Pointer::moveTo(QPointF point)
{
    XTestFakeMotionEvent(m_connection->display(), m_connection->screen(), coordinate(point.x()),
                         coordinate(point.y()), CurrentTime);
}
