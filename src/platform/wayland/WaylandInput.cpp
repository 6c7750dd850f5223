#include "WaylandInput.h"

#include "RemoteDesktopSession.h"
#include "WaylandKeysyms.h"
#include "WheelClicks.h"

#include <QList>

#include <algorithm>
#include <cmath>

namespace {

// Linux input event codes of the two buttons the host presses.
constexpr int leftButton = 0x110;
constexpr int rightButton = 0x111;

} // namespace

WaylandInput::WaylandInput(RemoteDesktopSession &session)
    : m_session(session)
{}

void WaylandInput::reset()
{
    m_pointer.reset();
}

// Positions outside the stream are refused by the compositors, so points are kept on the display.
void WaylandInput::moveTo(QPointF point)
{
    const std::optional<RemoteDesktopSession::Stream> &stream = m_session.stream();
    if (m_session.state() != DesktopBackend::State::Ready || !stream)
        return;
    const QRect &area = stream->area;
    const auto inside = [](double value, double origin, int length) {
        if (std::isnan(value))
            return 0.0;
        return std::clamp(value - origin, 0.0, static_cast<double>(std::max(length - 1, 0)));
    };
    const QPointF local(inside(point.x(), area.x(), area.width()), inside(point.y(), area.y(), area.height()));
    if (m_pointer && *m_pointer == local)
        return;
    m_pointer = local;
    m_session.movePointer(local);
}

void WaylandInput::warpPointer(QPointF point)
{
    moveTo(point);
}

// A mouse event at a point also puts the pointer there. Wayland has no click-state field:
// a double click is two presses in quick succession, which the viewer sends as they are.
void WaylandInput::postMouse(DesktopBackend::MouseEvent type, QPointF point)
{
    using Mouse = DesktopBackend::MouseEvent;
    moveTo(point);
    switch (type) {
    case Mouse::Moved:
    case Mouse::LeftDragged:
        break;
    case Mouse::LeftDown:
        m_session.pressButton(leftButton, true);
        break;
    case Mouse::LeftUp:
        m_session.pressButton(leftButton, false);
        break;
    case Mouse::RightDown:
        m_session.pressButton(rightButton, true);
        break;
    case Mouse::RightUp:
        m_session.pressButton(rightButton, false);
        break;
    }
}

// Wayland sends wheel clicks to the surface under the pointer, so the pointer goes to `point`
// first (and stays: where it was before is not known to this program). Positive pixel deltas
// scroll up, which is a negative step on the axis.
void WaylandInput::postScroll(QPointF point, std::int32_t deltaY)
{
    const int clicks = WheelClicks::ofPixels(deltaY);
    if (clicks == 0)
        return;
    moveTo(point);
    m_session.scroll(-clicks);
}

// Wayland clients repeat a held key themselves until its release arrives: a press whose
// release is late or never comes (a key message without "down" is a press) would type on and
// on. So a press is sent as a complete keystroke, and the release has nothing left to do.
void WaylandInput::postKey(SpecialKey key, bool down)
{
    if (!down)
        return;
    if (const std::optional<std::uint32_t> keysym = WaylandKeysyms::ofSpecialKey(key))
        tap(*keysym);
}

// Each character is the key the compositor finds for its keysym in the current keymap, with the
// Shift or AltGr that key needs. A character the keymap lacks is left out by the compositor.
void WaylandInput::typeText(const QString &text)
{
    const QList<uint> codePoints = text.toUcs4();
    for (qsizetype i = 0; i < codePoints.size(); ++i) {
        // A Windows line end is one Return, not two.
        if (codePoints[i] == U'\n' && i > 0 && codePoints[i - 1] == U'\r')
            continue;
        if (const std::optional<std::uint32_t> keysym = WaylandKeysyms::ofCodePoint(codePoints[i]))
            tap(*keysym);
    }
}

void WaylandInput::tap(std::uint32_t keysym)
{
    m_session.pressKeysym(keysym, true);
    m_session.pressKeysym(keysym, false);
}
