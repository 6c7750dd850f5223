#include "X11Pointer.h"

#include "X11Connection.h"

#include <algorithm>
#include <cmath>
#include <thread>
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

QPoint pixel(QPointF point)
{
    return {coordinate(point.x()), coordinate(point.y())};
}

} // namespace

X11Pointer::X11Pointer(std::shared_ptr<X11Connection> connection)
    : m_connection(std::move(connection))
{}

void X11Pointer::warp(QPointF point)
{
    if (!m_connection->hasXTest())
        return;
    moveTo(pixel(point));
    XFlush(m_connection->display());
}

void X11Pointer::post(DesktopInput::MouseEvent type, QPointF point, std::int64_t clickState)
{
    if (!m_connection->hasXTest())
        return;
    Display *display = m_connection->display();
    const QPoint at = pixel(point);
    using Mouse = DesktopInput::MouseEvent;
    switch (type) {
    case Mouse::Moved:
    case Mouse::LeftDragged:
        // A mouse event at a point also puts the pointer there.
        moveTo(m_clicks.heldAt(at));
        break;
    case Mouse::LeftDown:
        press(leftButton, at, clickState);
        break;
    case Mouse::LeftUp:
        moveTo(m_clicks.heldAt(at));
        XTestFakeButtonEvent(display, leftButton, False, CurrentTime);
        m_clicks.released();
        break;
    case Mouse::RightDown:
        press(rightButton, at, clickState);
        break;
    case Mouse::RightUp:
        moveTo(m_clicks.heldAt(at));
        XTestFakeButtonEvent(display, rightButton, False, CurrentTime);
        m_clicks.released();
        break;
    }
    XFlush(display);
}

// The press goes out as MultipleClicks plans it: a later click of a multiple click that comes
// too late after the earlier one has that one repeated right before it.
void X11Pointer::press(unsigned int button, QPoint at, std::int64_t clickState)
{
    Display *display = m_connection->display();
    const MultipleClicks::Press plan =
        m_clicks.plan(static_cast<int>(button), at, clickState, MultipleClicks::Clock::now());
    if (plan.waitUntil)
        std::this_thread::sleep_until(*plan.waitUntil);
    moveTo(plan.at);
    for (int click = 0; click < plan.repeats; ++click) {
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
    XTestFakeButtonEvent(display, button, True, CurrentTime);
    m_clicks.pressed(static_cast<int>(button), plan.at, clickState, MultipleClicks::Clock::now());
}

// Pixel deltas become wheel clicks (WheelClicks, the remainder carried to the next event):
// positive (content moves down, "scroll up") is button 4, negative button 5. X delivers wheel
// clicks to the window under the pointer, so the pointer visits `point` for the clicks and is put
// back where it was.
void X11Pointer::scroll(QPointF point, std::int32_t deltaY)
{
    if (!m_connection->hasXTest() || deltaY == 0)
        return;
    const int signedClicks = m_wheel.take(deltaY);
    if (signedClicks == 0)
        return;
    const int clicks = std::abs(signedClicks);
    const unsigned int button = signedClicks > 0 ? wheelUpButton : wheelDownButton;

    Display *display = m_connection->display();
    Window rootReturn = 0;
    Window child = 0;
    int pointerX = 0;
    int pointerY = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned int mask = 0;
    const bool known = XQueryPointer(display, m_connection->root(), &rootReturn, &child, &pointerX, &pointerY,
                                     &windowX, &windowY, &mask);
    const QPoint at = pixel(point);
    const bool visit = !known || QPoint(pointerX, pointerY) != at;
    if (visit)
        moveTo(at);
    for (int click = 0; click < clicks; ++click) {
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
    if (visit && known)
        moveTo({pointerX, pointerY});
    XFlush(display);
}

void X11Pointer::moveTo(QPoint point)
{
    XTestFakeMotionEvent(m_connection->display(), m_connection->screen(), point.x(), point.y(), CurrentTime);
}
