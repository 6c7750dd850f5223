// The worker thread that keeps long jobs away from the window's thread: results come back to the
// thread that awaits them, a stopped await lets go at once, and the worker's end frees every
// coroutine still waiting on it.
#include "BackgroundWorker.h"

#include <QCoroTask>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Awaited
{
    bool done = false;
    std::optional<int> result;
    QThread *resumedOn = nullptr;
};

QCoro::Task<> awaitJob(BackgroundWorker &worker, std::function<int(std::stop_token)> job, std::stop_token stop,
                       Awaited &out)
{
    out.result = co_await worker.run(std::move(job), std::move(stop));
    out.resumedOn = QThread::currentThread();
    out.done = true;
}

bool waitFor(const std::function<bool()> &condition)
{
    return QTest::qWaitFor(condition, 10000);
}

TEST(BackgroundWorker, Jobs_RunInTurnOnAnotherThread_ResultsComeBackToTheAwaitingThread)
{
    BackgroundWorker worker;
    std::vector<int> order; // written by the jobs, one at a time, read once all are back
    std::vector<QThread *> ranOn;
    Awaited awaited[3];
    std::vector<QCoro::Task<>> tasks;
    for (int i = 0; i < 3; ++i) {
        tasks.push_back(awaitJob(
            worker,
            [i, &order, &ranOn](std::stop_token) {
                order.push_back(i);
                ranOn.push_back(QThread::currentThread());
                return i * 10;
            },
            std::stop_token(), awaited[i]));
    }
    ASSERT_TRUE(waitFor([&] { return awaited[0].done && awaited[1].done && awaited[2].done; }));

    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(awaited[i].result, i * 10);
        EXPECT_NE(ranOn[i], QThread::currentThread());
        EXPECT_EQ(awaited[i].resumedOn, QThread::currentThread());
    }
    EXPECT_EQ(worker.pendingCount(), 0);
}

TEST(BackgroundWorker, Stopped_ResumesWithNoneAtOnce_TheJobToldToStop)
{
    std::atomic<bool> started = false;
    std::atomic<bool> release = false;
    std::atomic<bool> jobEnded = false;
    std::atomic<bool> jobSawStop = false;
    // Goes before what its job reads.
    BackgroundWorker worker;
    std::stop_source stop;
    Awaited awaited;
    QCoro::Task<> task = awaitJob(
        worker,
        [&](std::stop_token jobStop) {
            started = true;
            while (!release)
                std::this_thread::sleep_for(1ms);
            jobSawStop = jobStop.stop_requested();
            jobEnded = true;
            return 1;
        },
        stop.get_token(), awaited);
    ASSERT_TRUE(waitFor([&] { return started.load(); }));

    stop.request_stop();
    // Not from inside request_stop(): on the next pass of the event loop.
    EXPECT_FALSE(awaited.done);
    // The job is still held up: the caller does not wait for it.
    ASSERT_TRUE(waitFor([&] { return awaited.done; }));
    EXPECT_EQ(awaited.result, std::nullopt);
    EXPECT_EQ(worker.pendingCount(), 0);
    release = true;
    ASSERT_TRUE(waitFor([&] { return jobEnded.load(); }));
    EXPECT_TRUE(jobSawStop);
}

TEST(BackgroundWorker, Destroyed_ResumesEveryWaitingCallerWithNone)
{
    auto worker = std::make_unique<BackgroundWorker>();
    std::atomic<bool> started = false;
    Awaited running;
    Awaited queued;
    QCoro::Task<> first = awaitJob(
        *worker,
        [&](std::stop_token jobStop) {
            started = true;
            while (!jobStop.stop_requested())
                std::this_thread::sleep_for(1ms);
            return 1;
        },
        std::stop_token(), running);
    QCoro::Task<> second = awaitJob(*worker, [](std::stop_token) { return 2; }, std::stop_token(), queued);
    ASSERT_TRUE(waitFor([&] { return started.load(); }));

    // No event loop runs after this: the worker itself has to let them go.
    worker.reset();
    EXPECT_TRUE(running.done);
    EXPECT_TRUE(queued.done);
    EXPECT_EQ(running.result, std::nullopt);
    EXPECT_EQ(queued.result, std::nullopt);
}

} // namespace
