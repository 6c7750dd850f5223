#include "CancellablePause.h"
#include "OwnedTask.h"
#include "StoppableTask.h"
#include "TaskGroup.h"

#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

using namespace std::chrono_literals;

namespace {

// What the operations below did: each writes once after its pause unless it was stopped, and
// counts the frames that ended either way.
struct Record
{
    int writes = 0;
    int framesEnded = 0;
    int destroyed = 0;
};

struct EndOfFrame
{
    Record &record;
    ~EndOfFrame() { ++record.framesEnded; }
};

StoppableTask<> pauseThenWrite(Record &record, std::chrono::milliseconds pause, std::stop_token stop)
{
    const EndOfFrame end{record};
    co_await cancellablePause(pause, stop);
    ++record.writes;
}

class Sleeper
{
public:
    Sleeper(Record &record, std::chrono::milliseconds pause)
        : m_record(record)
        , m_pause(pause)
    {
    }
    ~Sleeper() { ++m_record.destroyed; }

    StoppableTask<> run(std::stop_token stop)
    {
        co_await pauseThenWrite(m_record, m_pause, stop);
        m_ended = true;
    }

    bool ended() const { return m_ended; }

private:
    Record &m_record;
    std::chrono::milliseconds m_pause;
    bool m_ended = false;
};

TEST(OwnedTask, Reset_StopsTheRunAndKeepsItsObjectUntilItEnds)
{
    Record record;
    OwnedTask<Sleeper> task;
    task.start(record, 1h);
    ASSERT_TRUE(task);
    EXPECT_TRUE(task.running());

    task.reset();
    EXPECT_FALSE(task);
    EXPECT_FALSE(task.running());
    EXPECT_EQ(record.destroyed, 0); // its run() is still suspended

    ASSERT_TRUE(QTest::qWaitFor([&] { return record.destroyed == 1; }, 5000));
    EXPECT_EQ(record.framesEnded, 1);
    EXPECT_EQ(record.writes, 0);
}

TEST(OwnedTask, Start_StopsTheOneBeforeAndKeepsAFinishedOne)
{
    Record record;
    OwnedTask<Sleeper> task;
    task.start(record, 1h);
    task.start(record, 10ms);

    ASSERT_TRUE(QTest::qWaitFor([&] { return !task.running(); }, 5000));
    EXPECT_EQ(record.writes, 1);
    EXPECT_EQ(record.framesEnded, 2);
    // The finished operation stays readable until it is let go.
    ASSERT_TRUE(task);
    EXPECT_TRUE(task->ended());
    EXPECT_EQ(record.destroyed, 1);
    task.reset();
    EXPECT_EQ(record.destroyed, 2);
}

TEST(OwnedTask, Destroyed_StopsItsRun)
{
    Record record;
    auto task = std::make_unique<OwnedTask<Sleeper>>();
    task->start(record, 1h);
    task.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return record.destroyed == 1; }, 5000));
    EXPECT_EQ(record.framesEnded, 1);
    EXPECT_EQ(record.writes, 0);
}

TEST(TaskGroup, Destroyed_StopsEveryTaskStillRunning)
{
    Record record;
    {
        TaskGroup group;
        group.start([&](std::stop_token stop) { return pauseThenWrite(record, 0ms, std::move(stop)); });
        for (int i = 0; i < 3; ++i)
            group.start([&](std::stop_token stop) { return pauseThenWrite(record, 1h, std::move(stop)); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return record.writes == 1; }, 5000));
        EXPECT_EQ(group.running(), 3);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return record.framesEnded == 4; }, 5000));
    EXPECT_EQ(record.writes, 1);
}

} // namespace
