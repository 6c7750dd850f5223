#pragma once

#include <QCoroTask>

#include <chrono>
#include <stop_token>

// Sleeps on the event loop, but a stop (requested from any thread) ends the sleep on the next
// pass of the loop instead of after the full duration, so a stopped loop lets go of its
// coroutine frame promptly. Callers test the token afterwards.
QCoro::Task<> cancellablePause(std::chrono::milliseconds duration, std::stop_token stop);
