#include "WheelClicks.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double pixelsPerWheelClick = 40;
constexpr int maxWheelClicksPerEvent = 25;

} // namespace

namespace WheelClicks {

int ofPixels(std::int32_t deltaY)
{
    if (deltaY == 0)
        return 0;
    const double magnitude = std::abs(static_cast<double>(deltaY));
    const int clicks =
        std::clamp(static_cast<int>(std::lround(magnitude / pixelsPerWheelClick)), 1, maxWheelClicksPerEvent);
    return deltaY > 0 ? clicks : -clicks;
}

} // namespace WheelClicks
