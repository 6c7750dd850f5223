#include "MacInput.h"

#include "DesktopBackend.h"
#include "DisplayGeometry.h"
#include "RemoteInput.h"
#include "NamedKey.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <thread>

namespace {

bool leftButtonDown = false;

// applyKey waits this long between tries while the desktop cannot type the next character, and
// gives up after this long without any.
constexpr std::chrono::milliseconds typingRetryPause{20};
constexpr std::chrono::milliseconds typingPatience{3000};

using Mouse = DesktopBackend::MouseEvent;

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

// Holds a message's modifiers for as long as it lives: pressed before its action, released
// (in reverse order) after it.
class HeldModifiers
{
public:
    HeldModifiers(DesktopBackend &backend, KeyModifiers modifiers)
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
    DesktopBackend &m_backend;
    bool m_held;
};

} // namespace

namespace MacInput {

void apply(DesktopBackend &backend, const RemoteInput &input, const DisplayGeometry &geometry)
{
    askForTrustIfNeeded(backend);

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

void applyKey(DesktopBackend &backend, const QString &codeName, const QString &key, bool down,
              KeyModifiers modifiers)
{
    askForTrustIfNeeded(backend);

    // A special key is pressed or released as itself; any text sent along with it is ignored.
    if (const std::optional<NamedKey> special = namedKeyFromCodeName(codeName)) {
        const HeldModifiers held(backend, down ? modifiers : KeyModifiers{});
        backend.postKey(*special, down);
        return;
    }
    // Text is typed, all of it, on its press; its release finds nothing held.
    if (!down || key.isEmpty())
        return;
    auto lastProgress = std::chrono::steady_clock::now();
    for (qsizetype done = 0; done < key.size();) {
        const qsizetype typed = typeText(backend, key.mid(done), modifiers);
        done += typed;
        if (typed > 0) {
            lastProgress = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastProgress > typingPatience) {
            return;
        } else {
            std::this_thread::sleep_for(typingRetryPause);
        }
    }
}

qsizetype typeText(DesktopBackend &backend, const QString &text, KeyModifiers modifiers)
{
    if (text.isEmpty())
        return 0;
    askForTrustIfNeeded(backend);
    const HeldModifiers held(backend, modifiers);
    qsizetype done = std::clamp<qsizetype>(backend.typeText(text), 0, text.size());
    // Whole characters only, whatever the backend answers.
    if (done > 0 && done < text.size() && text.at(done).isLowSurrogate())
        ++done;
    return done;
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
