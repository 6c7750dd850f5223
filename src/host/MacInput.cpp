#include "MacInput.h"

#include "DesktopBackend.h"
#include "DisplayGeometry.h"
#include "RemoteInput.h"

#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace {

bool leftButtonDown = false;

using Mouse = DesktopBackend::MouseEvent;

constexpr std::array<std::pair<const char *, std::uint16_t>, 10> specialKeys{{
    {"enter", 36},
    {"backspace", 51},
    {"tab", 48},
    {"escape", 53},
    {"arrowleft", 123},
    {"arrowup", 126},
    {"arrowright", 124},
    {"arrowdown", 125},
    {"delete", 117},
    {"space", 49},
}};

void askForTrustIfNeeded(DesktopBackend &backend)
{
    // Events are posted either way: without trust they are simply dropped by the system.
    if (!backend.isTrusted())
        backend.promptForTrust();
}

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

} // namespace

namespace MacInput {

void apply(DesktopBackend &backend, const RemoteInput &input, const DisplayGeometry &geometry)
{
    // 1. Trust.
    askForTrustIfNeeded(backend);

    // 2. Target point in global coordinates.
    const QPointF point(input.x * geometry.width + geometry.originX,
                        input.y * geometry.height + geometry.originY);

    // 3. Button and click state.
    const bool right = input.button == 1;
    const std::int64_t clickState = input.clickCount >= 2 ? input.clickCount : 1;

    // 4. By kind.
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

void applyKey(DesktopBackend &backend, const QString &codeName, const QString &key, bool down)
{
    // 1. Trust.
    askForTrustIfNeeded(backend);

    // 2. A special key: press or release.
    if (const auto code = virtualKey(codeName)) {
        backend.postKey(*code, down);
        return;
    }
    // 3. Text: one press carrying every character, never a release.
    if (down && !key.isEmpty())
        backend.typeText(key);
    // 4. A release of a key without a code has nothing to release.
}

std::optional<std::uint16_t> virtualKey(const QString &codeName)
{
    const QString name = codeName.toLower();
    for (const auto &[keyName, code] : specialKeys) {
        if (name == QLatin1String(keyName))
            return code;
    }
    return std::nullopt;
}

void postWheel(DesktopBackend &backend, QPointF point, double deltaY)
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
