#include "BackgroundWorker.h"

#include <QMetaObject>
#include <QThread>

BackgroundWorker::BackgroundWorker(QObject *parent)
    : QObject(parent)
{
}

BackgroundWorker::~BackgroundWorker()
{
    m_closing = true;
    for (const std::shared_ptr<Pending> &job : std::as_const(m_pending))
        job->stop.request_stop();
    if (m_thread) {
        m_thread->quit();
        m_thread->wait();
        // Its thread has ended: nothing runs on it any more, and the jobs still posted to it go
        // with it.
        delete m_context;
    }
    // Their completions, posted to this object, go with it too: each waiting coroutine is
    // resumed here instead, finds its stop and unwinds.
    const QList<std::shared_ptr<Pending>> pending = std::exchange(m_pending, {});
    for (const std::shared_ptr<Pending> &job : pending)
        finish(job, false);
}

void BackgroundWorker::submit(std::shared_ptr<Pending> job)
{
    if (!m_thread) {
        m_thread = std::make_unique<QThread>();
        m_thread->setObjectName(QStringLiteral("BackgroundWorker"));
        m_context = new QObject;
        m_context->moveToThread(m_thread.get());
        m_thread->start();
    }
    m_pending.append(job);
    QMetaObject::invokeMethod(
        m_context,
        [this, job] {
            const bool ran = !job->stop.stop_requested();
            if (ran)
                job->work(job->stop.get_token());
            // This object outlives its thread: the destructor waits for the thread first.
            QMetaObject::invokeMethod(this, [this, job, ran] { finish(job, ran); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void BackgroundWorker::finishLater(std::shared_ptr<Pending> job)
{
    QMetaObject::invokeMethod(this, [this, job = std::move(job)] { finish(job, false); }, Qt::QueuedConnection);
}

void BackgroundWorker::finish(const std::shared_ptr<Pending> &job, bool completed)
{
    if (job->finished)
        return;
    job->finished = true;
    job->completed = completed;
    m_pending.removeOne(job);
    if (const std::coroutine_handle<> waiter = std::exchange(job->waiter, {}))
        waiter.resume();
}
