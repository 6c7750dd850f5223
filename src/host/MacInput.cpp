#include "MacInput.h"

#include "DesktopInput.h"
#include "DisplayGeometry.h"
#include "RemoteInput.h"
#include "NamedKey.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

bool leftButtonDown = false;

using Mouse = DesktopInput::MouseEvent;

// The viewer's delta is meant as a signed 32-bit pixel count; anything the wire may carry
// beyond that (NaN, infinities, huge numbers) is pinned to the nearest representable value
// instead of being undefined.
std::int32_t wheelDelta(double deltaY)
{
    if (std::isnan(deltaY))
        return 0;
    constexpr double lowest = std::numeric_limits<std::int32_t>::min();
    constexpr double highest = std::numeric_limits<std::int32_t>::max();
    if (deltaY <= lowest)
        return std::numeric_limits<std::int32_t>::min();
    if (deltaY >= highest)
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(std::trunc(deltaY));
}

// Holds a message's modifiers for as long as it lives: pressed before its action, released
// (in reverse order) after it.
class HeldModifiers
{
public:
    HeldModifiers(DesktopInput &backend, KeyModifiers modifiers)
        : m_backend(backend)
        , m_held(!modifiers.isEmpty())
    {
        if (m_held)
            m_backend.holdModifiers(modifiers);
    }
    ~HeldModifiers()
    {
        if (m_held)
            m_backend.holdModifiers({});
    }
    HeldModifiers(const HeldModifiers &) = delete;
    HeldModifiers &operator=(const HeldModifiers &) = delete;

private:
    DesktopInput &m_backend;
    bool m_held;
};

} // namespace

namespace MacInput {

void apply(DesktopInput &backend, const RemoteInput &input, const DisplayGeometry &geometry)
{
    // The viewer sends fractions of its picture; the picture shows the whole main display.
    const QPointF point(input.x * geometry.width + geometry.originX,
                        input.y * geometry.height + geometry.originY);

    // Only button 1 means the right button; every other number, even an unknown one, the left.
    const bool right = input.button == 1;
    const std::int64_t clickState = input.clickCount >= 2 ? input.clickCount : 1;

    const HeldModifiers held(backend, input.modifiers);
    switch (input.kind) {
    case RemoteInput::Kind::move:
        backend.warpPointer(point);
        backend.postMouse(leftButtonDown ? Mouse::LeftDragged : Mouse::Moved, point, 1);
        break;
    case RemoteInput::Kind::down:
        leftButtonDown = input.button == 0;
        backend.warpPointer(point);
        backend.postMouse(Mouse::Moved, point, clickState);
        backend.warpPointer(point);
        backend.postMouse(right ? Mouse::RightDown : Mouse::LeftDown, point, clickState);
        break;
    case RemoteInput::Kind::up:
        leftButtonDown = false;
        backend.warpPointer(point);
        backend.postMouse(right ? Mouse::RightUp : Mouse::LeftUp, point, clickState);
        break;
    case RemoteInput::Kind::wheel:
        postWheel(backend, point, input.deltaY);
        break;
    }
}

void applyKey(DesktopInput &backend, NamedKey key, bool down, KeyModifiers modifiers)
{
    const HeldModifiers held(backend, down ? modifiers : KeyModifiers{});
    backend.postKey(key, down);
}

qsizetype typeText(DesktopInput &backend, const QString &text, KeyModifiers modifiers)
{
    if (text.isEmpty())
        return 0;
    const HeldModifiers held(backend, modifiers);
    qsizetype done = std::clamp<qsizetype>(backend.typeText(text), 0, text.size());
    // Whole characters only, whatever the backend answers.
    if (done > 0 && done < text.size() && text.at(done).isLowSurrogate())
        ++done;
    return done;
}

void postWheel(DesktopInput &backend, QPointF point, double deltaY)
{
    backend.postScroll(point, wheelDelta(deltaY));
}

bool leftDown()
{
    return leftButtonDown;
}

void setLeftDown(bool down)
{
    leftButtonDown = down;
}

} // namespace MacInput
