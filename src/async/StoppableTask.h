#pragma once

#include <QCoroTask>

#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>

template<typename T = void>
class StoppableTask;

namespace StoppableTaskDetail {

// What every task of a chain knows of the others: the task awaiting it, the stop it runs under
// and, for the outermost task, what its owner is told when the chain ends.
struct PromiseBase
{
    std::stop_token stop;
    // Taken from the coroutine's own parameters; else the awaiting task's, or the owner's.
    bool ownStop = false;
    PromiseBase *parent = nullptr;
    std::coroutine_handle<> continuation;
    std::coroutine_handle<> self;
    // Outermost task only: called once the chain has ended, returned or stopped.
    std::function<void()> onEnd;

    PromiseBase() = default;
    // The first std::stop_token among the coroutine's parameters (a member coroutine's object
    // comes first) is the stop it runs under.
    template<typename... Args>
    explicit PromiseBase(Args &...args)
    {
        (takeStop(args), ...);
    }

    bool stopped() const { return stop.stop_requested(); }

    // Ends the whole chain at a stop, without resuming any of it: the outermost frame is
    // destroyed, and with it every task it awaits. Called only while the chain is suspended.
    void endChain()
    {
        PromiseBase *outermost = this;
        while (outermost->parent)
            outermost = outermost->parent;
        std::function<void()> ended = std::move(outermost->onEnd);
        outermost->self.destroy();
        if (ended)
            ended();
    }

private:
    void takeStop(const std::stop_token &token)
    {
        if (!ownStop) {
            stop = token;
            ownStop = true;
        }
    }
    template<typename Other>
        requires(!std::is_same_v<std::remove_cv_t<Other>, std::stop_token>)
    void takeStop(Other &)
    {
    }
};

template<typename T>
struct Result
{
    std::optional<T> value;
    template<typename U>
    void return_value(U &&result)
    {
        value.emplace(std::forward<U>(result));
    }
    T take() { return std::move(*value); }
};

template<>
struct Result<void>
{
    void return_void() {}
    void take() {}
};

// Awaits anything QCoro can await (a QCoro::Task, a timer, a D-Bus call, an awaiter) for a
// StoppableTask. The awaiting frame is not handed to the awaited operation: a small coroutine of
// its own awaits it and then either resumes the frame or, when the stop came meanwhile, ends the
// chain in its place. That is what lets a stop end a coroutine between two lines of it.
template<typename Awaitable>
class ForeignAwaiter
{
    // What `co_await awaitable` gives inside a QCoro coroutine.
    using Transformed =
        std::remove_cvref_t<decltype(std::declval<QCoro::detail::TaskPromiseBase &>().await_transform(std::declval<Awaitable>()))>;
    using Value = QCoro::detail::awaitable_return_type_t<Transformed>;

public:
    ForeignAwaiter(Awaitable &&awaitable, PromiseBase &promise)
        : m_awaitable(std::forward<Awaitable>(awaitable))
        , m_promise(promise)
    {}
    ForeignAwaiter(const ForeignAwaiter &) = delete;
    ForeignAwaiter &operator=(const ForeignAwaiter &) = delete;

    bool await_ready() const noexcept { return false; }

    bool await_suspend(std::coroutine_handle<> waiting)
    {
        if (m_promise.stopped()) {
            m_promise.endChain();
            return true;
        }
        m_waiting = waiting;
        m_inSuspend = true;
        // Dropped at once: it frees itself once it has completed us.
        (void)drive(std::forward<Awaitable>(m_awaitable), this);
        m_inSuspend = false;
        if (!m_completedInline)
            return true;
        // It completed before we ever suspended.
        if (m_promise.stopped()) {
            m_promise.endChain();
            return true;
        }
        return false;
    }

    Value await_resume()
    {
        if constexpr (!std::is_void_v<Value>)
            return std::move(*m_value);
    }

private:
    static QCoro::Task<> drive(Awaitable &&awaitable, ForeignAwaiter *awaiter)
    {
        if constexpr (std::is_void_v<Value>)
            co_await std::forward<Awaitable>(awaitable);
        else
            awaiter->m_value.emplace(co_await std::forward<Awaitable>(awaitable));
        awaiter->complete();
    }

    // The awaited operation is over. Nothing of this awaiter is touched after the chain ends: it
    // lives in one of the frames that go.
    void complete()
    {
        if (m_inSuspend) {
            m_completedInline = true;
            return;
        }
        if (m_promise.stopped()) {
            m_promise.endChain();
            return;
        }
        m_waiting.resume();
    }

    Awaitable &&m_awaitable;
    PromiseBase &m_promise;
    std::coroutine_handle<> m_waiting;
    bool m_inSuspend = false;
    bool m_completedInline = false;
    std::conditional_t<std::is_void_v<Value>, bool, std::optional<Value>> m_value{};
};

template<typename T>
struct IsStoppableTask : std::false_type
{};
template<typename T>
struct IsStoppableTask<StoppableTask<T>> : std::true_type
{};

} // namespace StoppableTaskDetail

// A coroutine that a stop ends: from the moment its stop token is stopped, it never runs another
// line of its body. At its next resumption (or at once, at a co_await reached after the stop)
// its frame is destroyed instead, with every StoppableTask it awaits and every one awaiting it,
// so nothing after a co_await needs to ask whether it was stopped or whether its object is still
// there, and a stopped task writes nothing. Destroying the frame runs the destructors of its
// locals, as a return would.
//
// Its stop token is the first std::stop_token among its parameters; a task without one runs
// under the token of the task that awaits it, or of its owner. A task is started by its owner
// (TaskGroup, OwnedTask), which stops it, or by the StoppableTask that co_awaits it (it starts
// only then). It co_awaits other StoppableTasks and anything QCoro can await: QCoro tasks,
// timers, signals, D-Bus calls, awaiters. Whatever it awaits must end by itself or at the stop
// (a request cancelled by the token, a cancellablePause): the frame goes only once its awaited
// operation is over. Main thread.
template<typename T>
class [[nodiscard]] StoppableTask
{
public:
    struct promise_type : StoppableTaskDetail::PromiseBase, StoppableTaskDetail::Result<T>
    {
        using StoppableTaskDetail::PromiseBase::PromiseBase;

        StoppableTask get_return_object() noexcept
        {
            const auto handle = std::coroutine_handle<promise_type>::from_promise(*this);
            self = handle;
            return StoppableTask(handle);
        }
        std::suspend_always initial_suspend() const noexcept { return {}; }

        struct FinalAwaiter
        {
            bool await_ready() const noexcept { return false; }
            std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> finished) noexcept
            {
                promise_type &promise = finished.promise();
                if (!promise.parent) {
                    // The outermost task: it goes now, and its owner hears of it.
                    std::function<void()> ended = std::move(promise.onEnd);
                    finished.destroy();
                    if (ended)
                        ended();
                    return std::noop_coroutine();
                }
                // The awaiting task's frame owns this one and goes with it.
                if (promise.parent->stopped()) {
                    promise.parent->endChain();
                    return std::noop_coroutine();
                }
                return promise.continuation;
            }
            void await_resume() const noexcept {}
        };
        FinalAwaiter final_suspend() const noexcept { return {}; }

        // Nothing here throws across a suspension; an exception is a fault.
        void unhandled_exception() const noexcept { std::terminate(); }

        template<typename U>
        auto await_transform(StoppableTask<U> &&task) noexcept
        {
            return ChildAwaiter<U>{std::move(task), *this};
        }
        template<typename Awaitable>
            requires(!StoppableTaskDetail::IsStoppableTask<std::remove_cvref_t<Awaitable>>::value)
        auto await_transform(Awaitable &&awaitable)
        {
            return StoppableTaskDetail::ForeignAwaiter<Awaitable>(std::forward<Awaitable>(awaitable), *this);
        }
    };

    StoppableTask(StoppableTask &&other) noexcept
        : m_handle(std::exchange(other.m_handle, {}))
    {}
    StoppableTask &operator=(StoppableTask &&other) noexcept
    {
        if (this != &other) {
            if (m_handle)
                m_handle.destroy();
            m_handle = std::exchange(other.m_handle, {});
        }
        return *this;
    }
    StoppableTask(const StoppableTask &) = delete;
    StoppableTask &operator=(const StoppableTask &) = delete;
    // A task never started goes without running; one that is awaited goes with its awaiting frame.
    ~StoppableTask()
    {
        if (m_handle)
            m_handle.destroy();
    }

    // Starts the task as the outermost of its chain, under `stop` unless its parameters named
    // one, and lets go of it: it runs until its first suspension before this returns, and its
    // frame frees itself when it returns or a stop ends it, after which `onEnd` is called. A
    // stop requested already ends it before its first line. For owners (TaskGroup).
    void startDetached(std::stop_token stop, std::function<void()> onEnd)
    {
        const auto handle = std::exchange(m_handle, {});
        promise_type &promise = handle.promise();
        if (!promise.ownStop)
            promise.stop = std::move(stop);
        promise.onEnd = std::move(onEnd);
        if (promise.stopped()) {
            promise.endChain();
            return;
        }
        handle.resume();
    }

private:
    template<typename U>
    friend class StoppableTask;

    explicit StoppableTask(std::coroutine_handle<promise_type> handle)
        : m_handle(handle)
    {}

    // A StoppableTask awaiting another: the awaited one starts now, in the awaiting one's chain,
    // and hands its result back when it returns.
    template<typename U>
    class ChildAwaiter
    {
    public:
        ChildAwaiter(StoppableTask<U> &&child, StoppableTaskDetail::PromiseBase &parent)
            : m_child(std::move(child))
            , m_parent(parent)
        {}

        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<> parent) noexcept
        {
            if (m_parent.stopped()) {
                m_parent.endChain();
                return std::noop_coroutine();
            }
            auto &promise = m_child.m_handle.promise();
            promise.parent = &m_parent;
            promise.continuation = parent;
            if (!promise.ownStop)
                promise.stop = m_parent.stop;
            return m_child.m_handle;
        }
        U await_resume() { return m_child.m_handle.promise().take(); }

    private:
        StoppableTask<U> m_child;
        StoppableTaskDetail::PromiseBase &m_parent;
    };

    std::coroutine_handle<promise_type> m_handle;
};
