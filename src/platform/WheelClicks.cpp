#include "WheelClicks.h"

#include "DesktopBackend.h"

#include <algorithm>
#include <cmath>

int WheelClicks::take(std::int32_t deltaY)
{
    if (deltaY == 0)
        return 0;
    const bool reversed = (m_carry > 0 && deltaY < 0) || (m_carry < 0 && deltaY > 0);
    if (reversed)
        m_carry = 0;

    const double total = m_carry + deltaY;
    const double wholeClicks = std::trunc(total / DesktopBackend::pixelsPerWheelClick);
    const int clicks = static_cast<int>(std::min(std::abs(wholeClicks), double(maxClicksPerDelta)));
    // Beyond the cap nothing is carried either.
    m_carry = clicks == maxClicksPerDelta ? 0 : total - wholeClicks * DesktopBackend::pixelsPerWheelClick;
    return total > 0 ? clicks : -clicks;
}
