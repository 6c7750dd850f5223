#include "HoverPacing.h"

#include <algorithm>

std::chrono::milliseconds HoverPacing::waitAt(Clock::time_point now) const
{
    if (!m_lastSent)
        return std::chrono::milliseconds::zero();
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(now - *m_lastSent);
    // A clock read before the last send (never on a steady clock) waits a whole interval.
    if (since.count() < 0)
        return interval;
    return std::max(interval - since, std::chrono::milliseconds::zero());
}
