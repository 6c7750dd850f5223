#pragma once

#include <QCoroTask>

#include <functional>
#include <stop_token>

// The fire-and-forget operations of one owner (a close request, an origin report, a pushed
// event): each runs to its end on its own, and all of them are stopped when the group goes, so
// none outlives its owner by more than its next resumption. Like an OwnedTask's run(), each
// tests its stop token after every co_await and writes nothing once stopped. Main thread.
class TaskGroup
{
public:
    TaskGroup() = default;
    ~TaskGroup() { m_stop.request_stop(); }
    TaskGroup(const TaskGroup &) = delete;
    TaskGroup &operator=(const TaskGroup &) = delete;

    // Stopped when the group goes.
    std::stop_token token() const { return m_stop.get_token(); }

    // Starts `operation(token())`, a callable returning QCoro::Task<>. It must not itself be a
    // coroutine lambda: its captures would go with it while its coroutine still runs.
    template<typename Operation>
    void start(Operation &&operation)
    {
        QCoro::Task<> task = std::invoke(std::forward<Operation>(operation), token());
        // Dropping the task detaches it: the coroutine frees itself when it ends.
        (void)task;
    }

private:
    std::stop_source m_stop;
};
