#pragma once
// Its own threads ask the files' times; post() and finish() run on the walk's thread.

#include "platform/walk/WalkFolders.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace harkwell::walk {

// Asks files' times on a few threads of its own while the walk reads on, since on most disks one
// thread spends far longer waiting on statx than on reading folders. A walk that asks only a few
// files' times never starts them.
class TimeAskers {
public:
    // Past `mostWaiting` batches waiting (each holding its folder open), the walk asks by itself.
    explicit TimeAskers(int mostWaiting) : m_mostWaiting(size_t(std::max(1, mostWaiting))) {}
    ~TimeAskers() { finish(); }
    TimeAskers(const TimeAskers&) = delete;
    TimeAskers& operator=(const TimeAskers&) = delete;

    bool running() const { return !m_threads.empty(); }
    int threads() const { return m_started; }  // started, whether or not they ended since

    // False when no thread could be started: the walk then asks by itself.
    bool start(int processors)
    {
        const int count = std::clamp(processors - 1, 1, kMostThreads);
        try {
            for (int index = 0; index < count; ++index)
                m_threads.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // As many as could be had; none means the walk asks by itself.
        }
        m_started = int(m_threads.size());
        return running();
    }

    // Past a few waiting batches the walk asks for the oldest itself, so that no more than a
    // handful of folders are held open.
    void post(Batch* batch)
    {
        Batch* own = nullptr;
        bool wake = false;
        {
            std::lock_guard guard(m_lock);
            m_jobs.push_back(batch);
            if (m_jobs.size() > m_mostWaiting) {
                own = m_jobs.front();
                m_jobs.pop_front();
            }
            m_queued.store(m_jobs.size(), std::memory_order_release);
            wake = m_sleeping > 0;
        }
        if (wake)
            m_wake.notify_one();
        if (own)
            askTimes(*own);
    }

    // Every batch posted has its times once this returns.
    void finish()
    {
        if (m_threads.empty())
            return;
        {
            std::lock_guard guard(m_lock);
            m_closed = true;
            m_closing.store(true, std::memory_order_release);
        }
        m_wake.notify_all();
        while (Batch* batch = next(false))
            askTimes(*batch);
        for (std::thread& thread : m_threads)
            thread.join();
        m_threads.clear();
    }

private:
    static constexpr int kMostThreads = 4;

    Batch* next(bool wait)
    {
        if (wait)
            spinUntil([this] {
                return m_queued.load(std::memory_order_acquire) > 0 || m_closing.load(std::memory_order_acquire);
            });
        std::unique_lock lock(m_lock);
        if (wait) {
            ++m_sleeping;
            m_wake.wait(lock, [this] { return m_closed || !m_jobs.empty(); });
            --m_sleeping;
        }
        if (m_jobs.empty())
            return nullptr;
        Batch* batch = m_jobs.front();
        m_jobs.pop_front();
        m_queued.store(m_jobs.size(), std::memory_order_release);
        return batch;
    }

    void work()
    {
        while (Batch* batch = next(true))
            askTimes(*batch);
    }

    std::mutex m_lock;  // guards m_jobs, m_closed and m_sleeping
    std::condition_variable m_wake;
    std::deque<Batch*> m_jobs;
    bool m_closed = false;
    int m_sleeping = 0;
    // Copies of the queue's length and of m_closed, for a look without the lock.
    std::atomic<size_t> m_queued = 0;
    std::atomic<bool> m_closing = false;
    std::vector<std::thread> m_threads;
    int m_started = 0;
    const size_t m_mostWaiting;
};

}  // namespace harkwell::walk
