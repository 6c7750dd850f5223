#pragma once

#include <cstdint>

// The host's wheel deltas are pixels; desktops scroll in wheel clicks.
namespace WheelClicks {

// One click per 40 pixels (close to one click's three lines), rounded, at least one so that a
// small delta still scrolls, at most 25 per event so that a runaway delta cannot queue thousands.
// Positive deltas (content moves down, "scroll up") give positive clicks; 0 gives 0.
int ofPixels(std::int32_t deltaY);

} // namespace WheelClicks
