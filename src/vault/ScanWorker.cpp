#include "vault/ScanWorker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace harkwell {

struct ScanWorker::State {
    std::mutex lock;  // guards every field below
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool busy = false;  // a job is running or waiting
    bool stopping = false;
    int overflow = 0;
};

ScanWorker::ScanWorker() : m_state(std::make_shared<State>())
{
    // Detached: a job stuck on a frozen disk must not hold up the end of the process.
    std::thread([state = m_state] {
        std::unique_lock guard(state->lock);
        for (;;) {
            state->wake.wait(guard, [&] { return state->stopping || !state->jobs.empty(); });
            if (state->jobs.empty())
                return;
            std::function<void()> job = std::move(state->jobs.front());
            state->jobs.pop_front();
            guard.unlock();
            job();
            job = nullptr;
            guard.lock();
            state->busy = !state->jobs.empty();
        }
    }).detach();
}

ScanWorker::~ScanWorker()
{
    std::lock_guard guard(m_state->lock);
    m_state->stopping = true;
    m_state->wake.notify_all();
}

void ScanWorker::post(std::function<void()> job)
{
    {
        std::lock_guard guard(m_state->lock);
        if (!m_state->busy) {
            m_state->busy = true;
            m_state->jobs.push_back(std::move(job));
            m_state->wake.notify_all();
            return;
        }
        ++m_state->overflow;
    }
    std::thread(std::move(job)).detach();
}

void ScanWorker::postOnWorker(std::function<void()> job)
{
    std::lock_guard guard(m_state->lock);
    m_state->busy = true;
    m_state->jobs.push_back(std::move(job));
    m_state->wake.notify_all();
}

int ScanWorker::overflowCount() const
{
    std::lock_guard guard(m_state->lock);
    return m_state->overflow;
}

}  // namespace harkwell
