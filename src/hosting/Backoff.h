#pragma once

#include <chrono>

// The pauses before the attempts at something that keeps failing: `first`, then twice as long
// each time, up to `max`, so a lasting failure costs little and a brief one is soon over. A
// success starts them over. A value type; main thread.
class Backoff
{
public:
    Backoff(std::chrono::milliseconds first, std::chrono::milliseconds max);

    // The pause to wait now; the next one is twice as long, up to max.
    std::chrono::milliseconds next();
    // After a success: the next pause is the first again.
    void reset();

private:
    std::chrono::milliseconds m_first;
    std::chrono::milliseconds m_max;
    std::chrono::milliseconds m_next;
};
