#include "MultipleClicks.h"

#include <algorithm>
#include <cstdlib>

namespace {

// A triple click is as far as clients count.
constexpr std::int64_t maxCountedClicks = 3;

} // namespace

bool MultipleClicks::near(QPoint at) const
{
    return m_last && std::abs(m_last->at.x() - at.x()) <= snapDistance
        && std::abs(m_last->at.y() - at.y()) <= snapDistance;
}

MultipleClicks::Press MultipleClicks::plan(int button, QPoint at, std::int64_t clickState, Clock::time_point now) const
{
    Press press{at, 0, std::nullopt};
    if (clickState < 2)
        return press;
    const bool follows = near(at) && m_last->button == button;
    if (follows)
        press.at = m_last->at;
    const Clock::duration gap = follows ? now - m_last->time : Clock::duration::max();
    if (gap < passGap)
        return press;
    if (follows && gap < clearGap)
        press.waitUntil = m_last->time + clearGap;
    press.repeats = static_cast<int>(std::min(clickState, maxCountedClicks) - 1);
    return press;
}

void MultipleClicks::pressed(int button, QPoint at, std::int64_t clickState, Clock::time_point now)
{
    m_last = LastPress{button, at, now};
    m_multipleClickHeld = clickState >= 2;
}

void MultipleClicks::released()
{
    m_multipleClickHeld = false;
}

QPoint MultipleClicks::heldAt(QPoint at) const
{
    return m_multipleClickHeld && near(at) ? m_last->at : at;
}
