#pragma once

#include "StoppableTask.h"
#include "TaskGroup.h"

#include <memory>
#include <stop_token>
#include <utility>

// One long-running operation and its owner: the object whose run() is the loop, and a TaskGroup
// that runs it. Operation has `StoppableTask<> run(std::stop_token stop)`. Resetting,
// restarting or destroying the OwnedTask stops the run, which ends at its next resumption
// without running another line; the object itself lives until then, so nothing its run awaits
// finds it gone. Main thread.
template<typename Operation>
class OwnedTask
{
public:
    OwnedTask() = default;
    ~OwnedTask() { reset(); }
    OwnedTask(const OwnedTask &) = delete;
    OwnedTask &operator=(const OwnedTask &) = delete;

    // Stops the operation held so far, then makes a new one from `args` and starts its run(),
    // which goes as far as its first suspension before this returns.
    template<typename... Args>
    void start(Args &&...args)
    {
        reset();
        m_operation = std::make_shared<Operation>(std::forward<Args>(args)...);
        m_run.start([operation = m_operation](std::stop_token stop) { return keepAlive(operation, std::move(stop)); });
    }

    // Stops the run and lets go of the operation.
    void reset()
    {
        m_run.stop();
        m_operation.reset();
    }

    // The operation from start() until reset(), also once its run() has returned by itself.
    Operation *get() const { return m_operation.get(); }
    Operation *operator->() const { return m_operation.get(); }
    explicit operator bool() const { return m_operation != nullptr; }
    // Held, and its run() has not returned yet.
    bool running() const { return m_run.running() > 0; }

private:
    static StoppableTask<> keepAlive(std::shared_ptr<Operation> operation, std::stop_token stop)
    {
        co_await operation->run(std::move(stop));
    }

    std::shared_ptr<Operation> m_operation;
    TaskGroup m_run;
};
