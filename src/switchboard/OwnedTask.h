#pragma once

#include <QCoroTask>

#include <memory>
#include <optional>
#include <stop_token>
#include <utility>

// One long-running operation and all it takes to end it: the object whose run() coroutine it is,
// that coroutine's task and its stop source. In QCoro 0.8 destroying a Task does not stop a
// coroutine that is still running, so an owner holds one of these instead of a bare task.
//
// Operation has `QCoro::Task<> run(std::stop_token stop)`. After every co_await, run() tests
// `stop` and, once a stop was requested, returns without writing anything outside its own
// object. Resetting, restarting or destroying the OwnedTask requests that stop; the object
// itself lives until run() has returned, so run() never finds its own object gone. Main thread.
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
        auto operation = std::make_shared<Operation>(std::forward<Args>(args)...);
        m_operation = operation;
        m_stop = std::stop_source();
        m_task.emplace(keepAlive(std::move(operation), m_stop.get_token()));
    }

    // Requests the stop and lets go of the operation: from now on it writes nothing, and it ends
    // at its next resumption.
    void reset()
    {
        m_stop.request_stop();
        m_task.reset();
        m_operation.reset();
    }

    // The operation from start() until reset(), also once its run() has returned by itself.
    Operation *get() const { return m_operation.get(); }
    Operation *operator->() const { return m_operation.get(); }
    explicit operator bool() const { return m_operation != nullptr; }
    // Held, and its run() has not returned yet.
    bool running() const { return m_task && !m_task->isReady(); }

private:
    static QCoro::Task<> keepAlive(std::shared_ptr<Operation> operation, std::stop_token stop)
    {
        co_await operation->run(std::move(stop));
    }

    std::shared_ptr<Operation> m_operation;
    std::stop_source m_stop{std::nostopstate};
    std::optional<QCoro::Task<>> m_task;
};
