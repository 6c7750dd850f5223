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

// A runaway delta must not turn into thousands of clicks queued on the server.
constexpr int maxWheelClicksPerEvent = 25;
// Wheel movement left over for longer than this is forgotten: a remainder from a scroll long
// ago must not make a later nudge scroll.
constexpr std::chrono::milliseconds wheelCarryLifetime{1000};
// A second press of a multiple click this close to the first is put exactly on it, so that the
// client pairs them (the viewer's picture is scaled, its clicks land a pixel or two apart).
constexpr int doubleClickSnapDistance = 12;
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

void X11Pointer::post(DesktopBackend::MouseEvent type, QPointF point, std::int64_t clickState)
{
    if (!m_connection->hasXTest())
        return;
    Display *display = m_connection->display();
    const QPoint at = pixel(point);
    using Mouse = DesktopBackend::MouseEvent;
    switch (type) {
    case Mouse::Moved:
    case Mouse::LeftDragged:
        // A mouse event at a point also puts the pointer there.
        moveTo(heldAt(at));
        break;
    case Mouse::LeftDown:
        press(leftButton, at, clickState);
        break;
    case Mouse::LeftUp:
        moveTo(heldAt(at));
        XTestFakeButtonEvent(display, leftButton, False, CurrentTime);
        m_multipleClickHeld = false;
        break;
    case Mouse::RightDown:
        press(rightButton, at, clickState);
        break;
    case Mouse::RightUp:
        moveTo(heldAt(at));
        XTestFakeButtonEvent(display, rightButton, False, CurrentTime);
        m_multipleClickHeld = false;
        break;
    }
    XFlush(display);
}

// The viewer sends each click of a double click as its own press and release, the second press
// with click state 2; they may reach us in different polls, further apart than the client's
// double-click interval. A press passed on as it is stays a double click when it comes soon
// enough after the first; otherwise the earlier clicks are repeated right before it, after the
// first one has aged past the interval (so the repeat is not itself the client's second click
// and this press its third).
void X11Pointer::press(unsigned int button, QPoint at, std::int64_t clickState)
{
    Display *display = m_connection->display();
    using Clock = std::chrono::steady_clock;
    if (clickState >= 2) {
        const bool follows = m_lastPress && m_lastPress->button == button
            && std::abs(m_lastPress->at.x() - at.x()) <= doubleClickSnapDistance
            && std::abs(m_lastPress->at.y() - at.y()) <= doubleClickSnapDistance;
        if (follows)
            at = m_lastPress->at;
        const Clock::duration gap = follows ? Clock::now() - m_lastPress->time : Clock::duration::max();
        if (gap >= doubleClickPassGap) {
            if (follows && gap < doubleClickClearGap)
                std::this_thread::sleep_until(m_lastPress->time + doubleClickClearGap);
            moveTo(at);
            for (std::int64_t click = 1; click < std::min<std::int64_t>(clickState, 3); ++click) {
                XTestFakeButtonEvent(display, button, True, CurrentTime);
                XTestFakeButtonEvent(display, button, False, CurrentTime);
            }
        }
    }
    moveTo(at);
    XTestFakeButtonEvent(display, button, True, CurrentTime);
    m_lastPress = Press{button, at, Clock::now()};
    m_multipleClickHeld = clickState >= 2;
}

QPoint X11Pointer::heldAt(QPoint at) const
{
    if (m_multipleClickHeld && m_lastPress && std::abs(m_lastPress->at.x() - at.x()) <= doubleClickSnapDistance
        && std::abs(m_lastPress->at.y() - at.y()) <= doubleClickSnapDistance)
        return m_lastPress->at;
    return at;
}

// Pixel deltas become wheel clicks: positive (content moves down, "scroll up") is button 4,
// negative button 5, one click per DesktopBackend::pixelsPerWheelClick. What does not make a
// whole click is carried to the next event (in the same direction, while the wheel keeps
// moving), so ten 4-pixel events scroll one click, as one 40-pixel event does. At most 25
// clicks per event. X delivers wheel clicks to the window under the pointer, so the pointer
// visits `point` for the clicks and is put back where it was.
void X11Pointer::scroll(QPointF point, std::int32_t deltaY)
{
    if (!m_connection->hasXTest() || deltaY == 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    const bool reversed = (m_wheelCarry > 0 && deltaY < 0) || (m_wheelCarry < 0 && deltaY > 0);
    if (reversed || now - m_lastWheel > wheelCarryLifetime)
        m_wheelCarry = 0;
    m_lastWheel = now;

    const double total = m_wheelCarry + deltaY;
    const double wholeClicks = std::trunc(total / DesktopBackend::pixelsPerWheelClick);
    const int clicks = static_cast<int>(std::min(std::abs(wholeClicks), double(maxWheelClicksPerEvent)));
    // Beyond the cap nothing is carried either.
    m_wheelCarry = clicks == maxWheelClicksPerEvent ? 0 : total - wholeClicks * DesktopBackend::pixelsPerWheelClick;
    if (clicks == 0)
        return;
    const unsigned int button = total > 0 ? wheelUpButton : wheelDownButton;

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
