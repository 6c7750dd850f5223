#pragma once

#include <chrono>
#include <cstdint>

// The host's wheel deltas are pixels; desktops scroll in whole wheel clicks, one per
// DesktopBackend::pixelsPerWheelClick. What does not make a whole click is carried to the next
// delta (in the same direction, while the wheel keeps moving), so ten 4-pixel deltas scroll one
// click, as one 40-pixel delta does. One per desktop backend. Main thread.
class WheelClicks
{
public:
    using Clock = std::chrono::steady_clock;

    // A runaway delta must not turn into thousands of clicks queued on the desktop.
    static constexpr int maxClicksPerDelta = 25;
    // Wheel movement left over for longer than this is forgotten: a remainder from a scroll long
    // ago must not make a later nudge scroll.
    static constexpr std::chrono::milliseconds carryLifetime{1000};

    // The whole clicks `deltaY` makes with what was carried: positive deltas (content moves
    // down, "scroll up") give positive clicks, 0 gives 0.
    int take(std::int32_t deltaY, Clock::time_point now = Clock::now());

private:
    // Pixels not yet scrolled, and when the wheel last moved.
    double m_carry = 0;
    Clock::time_point m_last;
};
