#include "OwnedTask.h"
#include "RegistrationLoop.h"

#include <QTest>
#include <QTimer>

#include <QCoroTimer>

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;

namespace {

// Requests started and over.
struct Requests
{
    int started = 0;
    int over = 0;
};

// A request that takes `duration` and cannot be interrupted.
QCoro::Task<> slowRequest(Requests &requests, std::chrono::milliseconds duration)
{
    ++requests.started;
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(duration);
    co_await timer;
    ++requests.over;
}

// A step of the loop: the request, then its mark in the log.
StoppableTask<> slowStep(QStringList &log, Requests &requests, QString name, std::chrono::milliseconds duration,
                         std::stop_token)
{
    co_await slowRequest(requests, duration);
    log << name;
}

TEST(RegistrationLoop, Run_RegistersThenBeatsEveryPass_NoStepAfterAStop)
{
    QStringList log;
    Requests requests;
    std::chrono::milliseconds stepTime = 1ms;
    OwnedTask<RegistrationLoop> loop;
    loop.start([&](std::stop_token stop) { return slowStep(log, requests, "register", stepTime, std::move(stop)); },
               [&](std::stop_token stop) { return slowStep(log, requests, "heartbeat", stepTime, std::move(stop)); },
               10ms, 20ms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.size() >= 4; }, 10000));
    EXPECT_EQ(log.mid(0, 4), (QStringList{"register", "heartbeat", "register", "heartbeat"}));

    // Stopped while a step's request is on its way: the request ends in its own time, but nothing
    // after it runs, neither the step's own mark nor another step.
    stepTime = 100ms;
    ASSERT_TRUE(QTest::qWaitFor([&] { return requests.started > requests.over; }, 10000));
    const qsizetype steps = log.size();
    const int started = requests.started;
    loop.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return requests.over == started; }, 10000));
    EXPECT_EQ(log.size(), steps);
    EXPECT_EQ(requests.started, started);
}

// The gate is asked before each pass: while it says no, nothing of that pass is sent.
TEST(RegistrationLoop, Run_ClosedGate_SkipsTheWholePass)
{
    QStringList log;
    Requests requests;
    bool open = false;
    int asked = 0;
    const auto gate = [&](std::stop_token) -> StoppableTask<bool> {
        ++asked;
        co_return open;
    };
    OwnedTask<RegistrationLoop> loop;
    loop.start([&](std::stop_token stop) { return slowStep(log, requests, "register", 1ms, std::move(stop)); },
               [&](std::stop_token stop) { return slowStep(log, requests, "heartbeat", 1ms, std::move(stop)); }, 10ms,
               20ms, gate);
    ASSERT_TRUE(QTest::qWaitFor([&] { return asked >= 3; }, 10000));
    EXPECT_TRUE(log.isEmpty());

    open = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.size() >= 2; }, 10000));
    EXPECT_EQ(log.mid(0, 2), (QStringList{"register", "heartbeat"}));
}

} // namespace
