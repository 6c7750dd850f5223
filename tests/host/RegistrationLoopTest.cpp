#include "OwnedTask.h"
#include "RegistrationLoop.h"

#include <QTest>
#include <QTimer>

#include <QCoroTimer>

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;

namespace {

// A request that takes `duration` and cannot be interrupted, as a step of the loop.
QCoro::Task<> slowStep(QStringList &log, QString name, std::chrono::milliseconds duration)
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(duration);
    co_await timer;
    log << name;
}

TEST(RegistrationLoop, Run_RegistersThenBeatsEveryPass_NoStepAfterAStop)
{
    QStringList log;
    std::chrono::milliseconds stepTime = 1ms;
    OwnedTask<RegistrationLoop> loop;
    loop.start([&] { return slowStep(log, "register", stepTime); }, [&] { return slowStep(log, "heartbeat", stepTime); },
               10ms, 20ms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.size() >= 4; }, 10000));
    EXPECT_EQ(log.mid(0, 4), (QStringList{"register", "heartbeat", "register", "heartbeat"}));

    // Stopped while a step is on its way: that step may still finish, but no other starts.
    stepTime = 100ms;
    QTest::qWait(60);
    const qsizetype steps = log.size();
    loop.reset();
    QTest::qWait(300);
    EXPECT_LE(log.size(), steps + 1);
}

// The gate is asked before each pass: while it says no, nothing of that pass is sent.
TEST(RegistrationLoop, Run_ClosedGate_SkipsTheWholePass)
{
    QStringList log;
    bool open = false;
    int asked = 0;
    const auto gate = [&]() -> QCoro::Task<bool> {
        ++asked;
        co_return open;
    };
    OwnedTask<RegistrationLoop> loop;
    loop.start([&] { return slowStep(log, "register", 1ms); }, [&] { return slowStep(log, "heartbeat", 1ms); }, 10ms,
               20ms, gate);
    ASSERT_TRUE(QTest::qWaitFor([&] { return asked >= 3; }, 10000));
    EXPECT_TRUE(log.isEmpty());

    open = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.size() >= 2; }, 10000));
    EXPECT_EQ(log.mid(0, 2), (QStringList{"register", "heartbeat"}));
}

} // namespace
