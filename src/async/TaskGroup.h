#pragma once

#include "StoppableTask.h"

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>

// The owner of async work: one stop source and the StoppableTasks started under it. Every loop
// and every fire-and-forget coroutine of this program is started by one (or by an OwnedTask,
// one of these holding one operation object), which hands it the stop token; stopping the group,
// or its going, ends every task at its next resumption, so none outlives its owner by more than
// the operation it waits for and none writes anything once stopped. Main thread.
class TaskGroup
{
public:
    TaskGroup() = default;
    // Also stopped once `parent` is: its tasks end with whoever owns that token too.
    explicit TaskGroup(std::stop_token parent)
        : m_parent(std::move(parent))
    {
        link();
    }
    ~TaskGroup() { stop(); }
    TaskGroup(const TaskGroup &) = delete;
    TaskGroup &operator=(const TaskGroup &) = delete;

    // The tasks started now run under it.
    std::stop_token token() const { return m_stop.get_token(); }

    // Starts `operation(token())`, a callable returning StoppableTask<>, and runs it to its first
    // suspension. The callable must not itself be a coroutine lambda: its captures would go with
    // it while the coroutine still runs.
    template<typename Operation>
    void start(Operation &&operation)
    {
        StoppableTask<> task = std::invoke(std::forward<Operation>(operation), token());
        ++m_count->running;
        task.startDetached(token(), [count = m_count] { --count->running; });
    }

    // Stops every task started so far; the ones started later run under a new token.
    void stop()
    {
        m_stop.request_stop();
        m_stop = std::stop_source();
        m_count = std::make_shared<Count>();
        link();
    }

    // Tasks started since the last stop that have not ended yet.
    int running() const { return m_count->running; }

private:
    struct Count
    {
        int running = 0;
    };
    struct Forward
    {
        TaskGroup *group;
        void operator()() const { group->m_stop.request_stop(); }
    };

    void link()
    {
        m_parentLink.reset();
        if (!m_parent.stop_possible())
            return;
        if (m_parent.stop_requested())
            m_stop.request_stop();
        else
            m_parentLink.emplace(m_parent, Forward{this});
    }

    std::stop_token m_parent;
    std::stop_source m_stop;
    std::shared_ptr<Count> m_count = std::make_shared<Count>();
    std::optional<std::stop_callback<Forward>> m_parentLink;
};
