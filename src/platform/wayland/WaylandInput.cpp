#include "WaylandInput.h"

#include "RemoteDesktopSession.h"
#include "WaylandKeysyms.h"

#include <QList>

#include <algorithm>
#include <cmath>
#include <thread>

namespace {

// Linux input event codes of the two buttons the host presses.
constexpr int leftButton = 0x110;
constexpr int rightButton = 0x111;

QPoint pixel(QPointF point)
{
    if (std::isnan(point.x()) || std::isnan(point.y()))
        return {};
    return point.toPoint();
}

// Whether Caps Lock could turn a character of `text` into another (it changes letters only).
bool hasCasedLetters(const QString &text)
{
    const QList<uint> codePoints = text.toUcs4();
    return std::any_of(codePoints.cbegin(), codePoints.cend(), [](uint codePoint) {
        return QChar::toUpper(codePoint) != codePoint || QChar::toLower(codePoint) != codePoint;
    });
}

} // namespace

WaylandInput::WaylandInput(RemoteDesktopSession &session)
    : m_session(session)
{}

WaylandInput::~WaylandInput()
{
    holdModifiers({});
}

void WaylandInput::reset()
{
    m_pointer.reset();
    m_heldModifiers = {};
}

// Positions outside the stream are refused by the compositors, so points are kept on the display.
void WaylandInput::moveTo(QPointF point)
{
    const std::optional<RemoteDesktopSession::Stream> &stream = m_session.stream();
    if (m_session.state() != DesktopSharing::State::Ready || !stream)
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

QPointF WaylandInput::heldAt(QPointF point) const
{
    const QPoint held = m_clicks.heldAt(pixel(point));
    return held == pixel(point) ? point : QPointF(held);
}

void WaylandInput::warpPointer(QPointF point)
{
    moveTo(point);
}

// A mouse event at a point also puts the pointer there. Wayland has no click-state field: a
// client sees a double click when a second press comes soon after the first, by the times the
// compositor gives the events. So a press goes out as MultipleClicks plans it, the earlier
// click repeated right before a later click that comes too late to count.
void WaylandInput::postMouse(DesktopInput::MouseEvent type, QPointF point, std::int64_t clickState)
{
    using Mouse = DesktopInput::MouseEvent;
    const auto press = [&](int button) {
        const MultipleClicks::Press plan = m_clicks.plan(button, pixel(point), clickState, MultipleClicks::Clock::now());
        if (plan.waitUntil)
            std::this_thread::sleep_until(*plan.waitUntil);
        moveTo(plan.at == pixel(point) ? point : QPointF(plan.at));
        for (int click = 0; click < plan.repeats; ++click) {
            m_session.pressButton(button, true);
            m_session.pressButton(button, false);
        }
        m_session.pressButton(button, true);
        m_clicks.pressed(button, plan.at, clickState, MultipleClicks::Clock::now());
    };
    const auto release = [&](int button) {
        moveTo(heldAt(point));
        m_session.pressButton(button, false);
        m_clicks.released();
    };
    switch (type) {
    case Mouse::Moved:
    case Mouse::LeftDragged:
        moveTo(heldAt(point));
        break;
    case Mouse::LeftDown:
        press(leftButton);
        break;
    case Mouse::LeftUp:
        release(leftButton);
        break;
    case Mouse::RightDown:
        press(rightButton);
        break;
    case Mouse::RightUp:
        release(rightButton);
        break;
    }
}

// Wayland sends wheel clicks to the surface under the pointer, so the pointer goes to `point`
// first (and stays: where it was before is not known to this program). The compositor takes
// whole clicks, so what does not make one is carried (WheelClicks). Positive pixel deltas scroll
// up, which is a negative step on the axis.
void WaylandInput::postScroll(QPointF point, std::int32_t deltaY)
{
    const int clicks = m_wheel.take(deltaY);
    if (clicks == 0)
        return;
    moveTo(point);
    m_session.scroll(-clicks);
}

// Wayland clients repeat a held key themselves until its release arrives: a press whose
// release is late or never comes (a key message without "down" is a press) would type on and
// on. So a press is sent as a complete keystroke, and the release has nothing left to do.
void WaylandInput::postKey(NamedKey key, bool down)
{
    if (!down)
        return;
    if (const std::optional<std::uint32_t> keysym = WaylandKeysyms::ofNamedKey(key))
        tap(*keysym);
}

// Each character is the key the compositor finds for its keysym in the current keymap, with the
// Shift or AltGr that key needs; the modifiers held through holdModifiers stay held (a
// shortcut's key). A character the keymap lacks is left out by the compositor. Caps Lock would
// turn letters into their other case, so it is unlocked while letters are typed and locked
// again after them. Modifiers held by the person at the machine cannot be let up from here.
qsizetype WaylandInput::typeText(const QString &text)
{
    if (m_session.state() != DesktopSharing::State::Ready)
        return text.size();
    const bool liftCapsLock = m_session.capsLocked() && hasCasedLetters(text);
    if (liftCapsLock)
        tap(WaylandKeysyms::capsLock());
    const QList<uint> codePoints = text.toUcs4();
    for (qsizetype i = 0; i < codePoints.size(); ++i) {
        // A Windows line end is one Return, not two.
        if (codePoints[i] == U'\n' && i > 0 && codePoints[i - 1] == U'\r')
            continue;
        if (const std::optional<std::uint32_t> keysym = WaylandKeysyms::ofCodePoint(codePoints[i]))
            tap(*keysym);
    }
    if (liftCapsLock)
        tap(WaylandKeysyms::capsLock());
    return text.size();
}

// Modifier keys go down in press order and up in the reverse order. Only what reached a
// running session counts as held.
void WaylandInput::holdModifiers(KeyModifiers modifiers)
{
    for (auto modifier = KeyModifiers::pressOrder.rbegin(); modifier != KeyModifiers::pressOrder.rend(); ++modifier) {
        if (m_heldModifiers.contains(*modifier) && !modifiers.contains(*modifier)) {
            m_session.pressKeysym(WaylandKeysyms::ofModifier(*modifier), false);
            m_heldModifiers.remove(*modifier);
        }
    }
    if (m_session.state() != DesktopSharing::State::Ready)
        return;
    for (const KeyModifier modifier : KeyModifiers::pressOrder) {
        if (!m_heldModifiers.contains(modifier) && modifiers.contains(modifier)) {
            m_session.pressKeysym(WaylandKeysyms::ofModifier(modifier), true);
            m_heldModifiers.add(modifier);
        }
    }
}

void WaylandInput::tap(std::uint32_t keysym)
{
    m_session.pressKeysym(keysym, true);
    m_session.pressKeysym(keysym, false);
}
