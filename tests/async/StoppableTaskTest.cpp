// A stop ends a StoppableTask between two of its lines, wherever it waits: no line after the
// stop runs, every frame of the chain is freed (ASan's leak check would see one left behind),
// and its owner hears that it ended.
#include "CancellablePause.h"
#include "StoppableTask.h"
#include "TaskGroup.h"

#include <QTest>
#include <QTimer>

#include <QCoroTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stop_token>

using namespace std::chrono_literals;

namespace {

// What a chain of tasks did: which lines ran, how many of its locals were destroyed and how
// many of the waits it started are over.
struct Trace
{
    QStringList lines;
    int localsDestroyed = 0;
    int waitsStarted = 0;
    int waitsOver = 0;
    bool allWaitsOver() const { return waitsOver == waitsStarted; }
};

struct Local
{
    Trace &trace;
    ~Local() { ++trace.localsDestroyed; }
};

// A wait that cannot be interrupted: it ends after its time, stop or not.
QCoro::Task<int> uninterruptible(Trace &trace, std::chrono::milliseconds duration, int value)
{
    ++trace.waitsStarted;
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(duration);
    co_await timer;
    ++trace.waitsOver;
    co_return value;
}

QCoro::Task<int> ready(int value)
{
    co_return value;
}

StoppableTask<int> inner(Trace &trace, std::chrono::milliseconds wait, std::stop_source *stopHere)
{
    const Local local{trace};
    trace.lines << "inner begins";
    if (stopHere)
        stopHere->request_stop();
    const int value = co_await uninterruptible(trace, wait, 7);
    trace.lines << "inner ends";
    co_return value;
}

StoppableTask<> outer(Trace &trace, std::chrono::milliseconds wait, std::stop_source *stopHere)
{
    const Local local{trace};
    trace.lines << "outer begins";
    const int value = co_await inner(trace, wait, stopHere);
    trace.lines << QStringLiteral("outer got %1").arg(value);
    co_await cancellablePause(10ms, std::stop_token());
    trace.lines << "outer ends";
}

struct StopCase
{
    const char *name;
    // When the stop comes: before the start, from inside the inner task before it waits, or
    // while the chain waits.
    enum class When { beforeStart, insideBeforeWait, whileWaiting, never } when;
    QStringList lines;
};

void PrintTo(const StopCase &row, std::ostream *out)
{
    *out << row.name;
}

class StoppableTaskStop : public testing::TestWithParam<StopCase>
{
};

TEST_P(StoppableTaskStop, Chain_NoLineAfterTheStop_EveryFrameFreed)
{
    const StopCase &row = GetParam();
    Trace trace;
    bool ended = false;
    std::stop_source stop;
    if (row.when == StopCase::When::beforeStart)
        stop.request_stop();
    outer(trace, 50ms, row.when == StopCase::When::insideBeforeWait ? &stop : nullptr)
        .startDetached(stop.get_token(), [&] { ended = true; });
    if (row.when == StopCase::When::whileWaiting) {
        QTest::qWait(10);
        stop.request_stop();
    }

    ASSERT_TRUE(QTest::qWaitFor([&] { return ended && trace.allWaitsOver(); }, 5000));
    EXPECT_EQ(trace.lines, row.lines);
    EXPECT_EQ(trace.localsDestroyed, (row.lines.contains("inner begins") ? 1 : 0) + (row.lines.isEmpty() ? 0 : 1));
}

INSTANTIATE_TEST_SUITE_P(
    Stops, StoppableTaskStop,
    testing::Values(StopCase{"BeforeStart", StopCase::When::beforeStart, {}},
                    StopCase{"InsideBeforeItsWait", StopCase::When::insideBeforeWait, {"outer begins", "inner begins"}},
                    StopCase{"WhileWaiting", StopCase::When::whileWaiting, {"outer begins", "inner begins"}},
                    StopCase{"Never", StopCase::When::never,
                             {"outer begins", "inner begins", "inner ends", "outer got 7", "outer ends"}}),
    [](const auto &info) { return std::string(info.param.name); });

// A task awaited under a stop token of its own: its stop ends the task awaiting it too, which
// has no result to go on with.
StoppableTask<int> ownStop(Trace &trace, std::stop_token stop)
{
    co_await cancellablePause(1h, stop);
    trace.lines << "own stop passed";
    co_return 1;
}

StoppableTask<> awaitsOwnStop(Trace &trace, std::stop_token own)
{
    co_await ownStop(trace, own);
    trace.lines << "after";
}

TEST(StoppableTask, ChildStoppedByItsOwnToken_EndsTheChain)
{
    Trace trace;
    bool ended = false;
    std::stop_source own;
    awaitsOwnStop(trace, own.get_token()).startDetached(std::stop_token(), [&] { ended = true; });
    own.request_stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 5000));
    EXPECT_TRUE(trace.lines.isEmpty());
}

// Awaits that complete at once go on in the same frame, without growing the stack.
StoppableTask<> manyReadyAwaits(int &sum, int count)
{
    for (int i = 0; i < count; ++i)
        sum += co_await ready(1);
}

TEST(StoppableTask, ReadyAwaits_RunInPlace)
{
    int sum = 0;
    bool ended = false;
    manyReadyAwaits(sum, 200000).startDetached(std::stop_token(), [&] { ended = true; });
    EXPECT_TRUE(ended);
    EXPECT_EQ(sum, 200000);
}

// An object whose member coroutine is stopped and which goes before the coroutine's wait is over:
// the rest of the coroutine never touches it (ASan would see the use after free).
class Owner
{
public:
    explicit Owner(Trace &trace)
        : m_trace(trace)
    {}
    void start()
    {
        m_tasks.start([this](std::stop_token stop) { return wait(std::move(stop)); });
    }
    int running() const { return m_tasks.running(); }

private:
    StoppableTask<> wait(std::stop_token)
    {
        co_await uninterruptible(m_trace, 50ms, 0);
        m_value = 1;
        m_trace.lines << "written";
    }

    Trace &m_trace;
    int m_value = 0;
    TaskGroup m_tasks;
};

TEST(TaskGroup, OwnerGone_ItsStoppedTaskWritesNothing)
{
    Trace trace;
    auto owner = std::make_unique<Owner>(trace);
    owner->start();
    EXPECT_EQ(owner->running(), 1);
    owner.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return trace.waitsOver == 1; }, 5000));
    EXPECT_TRUE(trace.lines.isEmpty());
}

TEST(TaskGroup, LinkedToAParentToken_StopsWithIt)
{
    Trace trace;
    std::stop_source parent;
    TaskGroup group(parent.get_token());
    group.start([&](std::stop_token stop) { return awaitsOwnStop(trace, std::move(stop)); });
    EXPECT_EQ(group.running(), 1);
    parent.request_stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return group.running() == 0; }, 5000));
    EXPECT_TRUE(trace.lines.isEmpty());
    // Started after the parent stopped: it never runs.
    group.start([&](std::stop_token stop) { return awaitsOwnStop(trace, std::move(stop)); });
    EXPECT_EQ(group.running(), 0);
    EXPECT_TRUE(trace.lines.isEmpty());
}

} // namespace
