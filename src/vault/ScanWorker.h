#pragma once
// The file scanner's one long-lived worker thread: listings, the cache and the day lists are
// worked out there, so that each refresh does not leave a new thread's memory behind. A job handed
// over while the thread is still busy with an earlier one (a listing stuck on a slow disk) runs on
// a thread of its own instead, so nothing waits behind a hang. The thread ends with the last
// owner of the worker, once its current job is over.

#include <QFuture>
#include <QPromise>

#include <functional>
#include <memory>

namespace harkwell {

class ScanWorker {
public:
    ScanWorker();
    ~ScanWorker();
    ScanWorker(const ScanWorker&) = delete;
    ScanWorker& operator=(const ScanWorker&) = delete;

    void post(std::function<void()> job);
    // Housekeeping that is worth doing only on the worker itself: queued behind its current job,
    // never handed to a thread of its own.
    void postOnWorker(std::function<void()> job);

    // The job's result, delivered through a future (awaitable on the main thread).
    template <typename Result>
    QFuture<Result> run(std::function<Result()> job)
    {
        auto promise = std::make_shared<QPromise<Result>>();
        QFuture<Result> future = promise->future();
        promise->start();
        post([promise, job = std::move(job)] {
            promise->addResult(job());
            promise->finish();
        });
        return future;
    }

    // Jobs that ran on a thread of their own because the worker was busy.
    int overflowCount() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

}  // namespace harkwell
