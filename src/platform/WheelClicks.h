#pragma once

#include <cstdint>

// The host's wheel deltas are pixels; desktops scroll in whole wheel clicks, one per
// DesktopBackend::pixelsPerWheelClick. What does not make a whole click is carried to the next
// delta for as long as the wheel keeps turning the same way, however slowly: fourteen 3-pixel
// deltas scroll one click, as one 40-pixel delta does, whether they come within a second (a
// trackpad) or one per notch of a viewer that sends 3 pixels a notch. Turning the other way
// forgets it. One per desktop backend. Main thread.
class WheelClicks
{
public:
    // A runaway delta must not turn into thousands of clicks queued on the desktop.
    static constexpr int maxClicksPerDelta = 25;

    // The whole clicks `deltaY` makes with what was carried: positive deltas (content moves
    // down, "scroll up") give positive clicks, 0 gives 0.
    int take(std::int32_t deltaY);

private:
    // Pixels not yet scrolled.
    double m_carry = 0;
};
