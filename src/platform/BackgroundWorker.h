#pragma once

#include <QList>
#include <QObject>

#include <coroutine>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>

class QThread;

// A thread of its own for work that would otherwise hold the window's thread (a host's
// pictures to decode), with one owner. Jobs run there one at a time, in the order given; the
// coroutine that awaits run() resumes on the worker's own thread (the owner's) with the job's
// result, or with none when the job was stopped.
//
// A job is a callable `Result(std::stop_token)` that owns everything it reads (copies, implicitly
// shared values) and touches nothing of whoever handed it in; it may end early once its token
// is stopped. Stopping the awaiting coroutine's token resumes that coroutine on the next pass of
// the event loop, with none, without waiting for the job: the job is told to stop and its result,
// if it still makes one, is thrown away. Destroying the worker (only its owner does) stops every
// job, waits for the one running and resumes every coroutine still waiting, with none, so none
// stays suspended; a run() awaited from then on gives none at once.
//
// Not copyable; run() only from the thread the worker lives on.
class BackgroundWorker : public QObject
{
    // One job handed in: the parts both threads reach are the stop source (thread-safe) and,
    // once the job's completion has been posted back, its result.
    struct Pending
    {
        virtual ~Pending() = default;
        // On the worker's thread.
        virtual void work(std::stop_token stop) = 0;

        std::stop_source stop;
        // The owner's thread only, as the rest.
        std::coroutine_handle<> waiter;
        bool finished = false;
        // The job ran to its end: its result may be read.
        bool completed = false;
    };

    template<typename Job, typename Result>
    struct Handed final : Pending
    {
        explicit Handed(Job &&job)
            : job(std::move(job))
        {}
        void work(std::stop_token stop) override { result.emplace(job(std::move(stop))); }

        Job job;
        std::optional<Result> result;
    };

public:
    explicit BackgroundWorker(QObject *parent = nullptr);
    ~BackgroundWorker() override;
    BackgroundWorker(const BackgroundWorker &) = delete;
    BackgroundWorker &operator=(const BackgroundWorker &) = delete;

    template<typename Result, typename Job>
    class Awaiter
    {
    public:
        Awaiter(BackgroundWorker *worker, Job &&job, std::stop_token stop)
            : m_worker(worker)
            , m_job(std::make_shared<Handed<Job, Result>>(std::move(job)))
            , m_stop(std::move(stop))
        {}
        Awaiter(const Awaiter &) = delete;
        Awaiter &operator=(const Awaiter &) = delete;

        bool await_ready() const noexcept { return m_stop.stop_requested() || m_worker->m_closing; }
        void await_suspend(std::coroutine_handle<> waiter)
        {
            m_job->waiter = waiter;
            m_worker->submit(m_job);
            // A stop requested meanwhile runs this at once, which only queues the resumption.
            m_onStop.emplace(m_stop, OnStop{m_worker, m_job});
        }
        std::optional<Result> await_resume()
        {
            m_onStop.reset();
            if (!m_job->completed || m_stop.stop_requested())
                return std::nullopt;
            return std::move(m_job->result);
        }

    private:
        struct OnStop
        {
            BackgroundWorker *worker;
            std::shared_ptr<Pending> job;
            void operator()() const
            {
                job->stop.request_stop();
                worker->finishLater(job);
            }
        };

        BackgroundWorker *m_worker;
        std::shared_ptr<Handed<Job, Result>> m_job;
        std::stop_token m_stop;
        std::optional<std::stop_callback<OnStop>> m_onStop;
    };

    // `co_await worker.run(job, stop)`: the job's result, or none when it was stopped (by `stop`
    // or by the worker's end) before its result came back.
    template<typename Job>
    [[nodiscard]] auto run(Job job, std::stop_token stop)
    {
        using Result = std::invoke_result_t<Job &, std::stop_token>;
        return Awaiter<Result, Job>(this, std::move(job), std::move(stop));
    }

    // Jobs handed in and not finished yet (tests).
    qsizetype pendingCount() const { return m_pending.size(); }

private:
    void submit(std::shared_ptr<Pending> job);
    void finishLater(std::shared_ptr<Pending> job);
    // Resumes the job's coroutine, once.
    void finish(const std::shared_ptr<Pending> &job, bool completed);

    // Started with the first job.
    std::unique_ptr<QThread> m_thread;
    // Lives on m_thread: jobs are posted to it.
    QObject *m_context = nullptr;
    QList<std::shared_ptr<Pending>> m_pending;
    bool m_closing = false;
};
