#pragma once

#include <QCoroTask>

#include <chrono>
#include <stop_token>

// Sleeps on the event loop, but a stop (requested from any thread) ends the sleep on the next
// pass of the loop instead of after the full duration, so a StoppableTask that awaits it ends
// promptly at a stop and lets go of its frame.
QCoro::Task<> cancellablePause(std::chrono::milliseconds duration, std::stop_token stop);
