#pragma once

#include <chrono>
#include <optional>

// How often pointer moves made while hovering (no button held) go to the host: at most
// maxMovesPerSecond, each one the newest position. A move made sooner than `interval` after the
// last one sent waits for the rest of it, and a newer move replaces it while it waits.
class HoverPacing
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int maxMovesPerSecond = 60;
    static constexpr std::chrono::milliseconds interval{1000 / maxMovesPerSecond};

    // How long a move made at `now` waits before it goes; zero: it goes now.
    std::chrono::milliseconds waitAt(Clock::time_point now) const;
    void sentAt(Clock::time_point now) { m_lastSent = now; }
    // Nothing was sent yet: the next move goes at once.
    void reset() { m_lastSent.reset(); }

private:
    std::optional<Clock::time_point> m_lastSent;
};
