#pragma once

#include "core/Async.h"
#include "core/Runner.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace quilvant {

// Blocking work with a Runner (outside programs run to their end), each job on a thread of its own, whose
// outcome comes back on the thread of the object that started it. Cancelling ends the job's process group and
// reports Error::cancelled(). Confined to the owner's thread; the owner keeps it as a member, so that its
// destruction ends every job and waits for its thread.
class RunnerJobs
{
public:
    explicit RunnerJobs(std::shared_ptr<Runner::Clock> clock = Runner::realClock())
        : m_clock(std::move(clock))
    {}
    ~RunnerJobs()
    {
        for (const std::shared_ptr<Job>& job : m_jobs) {
            job->runner->terminate();
        }
        for (const std::shared_ptr<Job>& job : m_jobs) {
            if (job->thread.joinable()) {
                job->thread.join();
            }
        }
    }
    RunnerJobs(const RunnerJobs&) = delete;
    RunnerJobs& operator=(const RunnerJobs&) = delete;

    // Every job still running ends as cancelled.
    void cancelAll()
    {
        for (const std::shared_ptr<Job>& job : m_jobs) {
            job->cancelled = true;
            job->runner->terminate();
        }
    }

    // Runs `work` off this thread and calls `done` with its outcome on `owner`'s thread (never once `owner` is
    // gone).
    template <typename T>
    Cancellation start(QObject* owner, std::function<Outcome<T>(Runner&)> work, Completion<T> done)
    {
        auto job = std::make_shared<Job>();
        job->runner = std::make_shared<Runner>(m_clock);
        m_jobs.push_back(job);
        QPointer<QObject> self(owner);
        // The thread ends by handing its outcome to the owner's thread, which joins it there.
        job->thread = std::thread([this, self, job, work = std::move(work), done = std::move(done)]() mutable {
            Outcome<T> outcome = work(*job->runner);
            QMetaObject::invokeMethod(
                self.data(),
                [this, self, job, outcome = std::move(outcome), done = std::move(done)]() mutable {
                    if (job->thread.joinable()) {
                        job->thread.join();
                    }
                    if (self) {
                        std::erase(m_jobs, job);
                    }
                    done(job->cancelled ? Outcome<T>(Error::cancelled()) : std::move(outcome));
                },
                Qt::QueuedConnection);
        });
        std::weak_ptr<Job> weak = job;
        return Cancellation([weak] {
            if (const std::shared_ptr<Job> running = weak.lock()) {
                running->cancelled = true;
                running->runner->terminate();
            }
        });
    }

private:
    // terminate() reaches the runner from the owner's thread while the job's thread waits in it.
    struct Job
    {
        std::shared_ptr<Runner> runner;
        std::thread thread;
        bool cancelled = false;
    };

    std::shared_ptr<Runner::Clock> m_clock;
    std::vector<std::shared_ptr<Job>> m_jobs;
};

} // namespace quilvant
