#include "Backoff.h"

#include <algorithm>

Backoff::Backoff(std::chrono::milliseconds first, std::chrono::milliseconds max)
    : m_first(first)
    , m_max(std::max(first, max))
    , m_next(first)
{
}

std::chrono::milliseconds Backoff::next()
{
    const std::chrono::milliseconds pause = m_next;
    m_next = std::min(m_next * 2, m_max);
    return pause;
}

void Backoff::reset()
{
    m_next = m_first;
}
