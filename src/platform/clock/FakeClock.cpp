#include "platform/clock/FakeClock.h"

#include <QThread>

#include <algorithm>

namespace harkwell {

// Holds nothing that needs destroying: the sleeping frame owns the state.
struct FakeClock::SleepAwaiter {
    FakeClock& clock;
    const std::chrono::milliseconds& deadline;
    const std::shared_ptr<SleepState>& state;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle)
    {
        state->handle = handle;
        {
            QMutexLocker locker(&clock.m_lock);
            clock.m_sleepers.append(Sleeper{deadline, clock.m_nextOrder++, state});
        }
        // A sleep already due (zero, or the clock moved past it) still resumes through the event loop.
        clock.wakeDue();
    }
    // Whether the clock went before the deadline came.
    bool await_resume() const noexcept { return state->stopped; }
};

FakeClock::FakeClock(QDateTime start) : m_now(std::move(start)) {}

FakeClock::~FakeClock() { unwindSleepers(); }

void FakeClock::unwindSleepers()
{
    QList<std::shared_ptr<SleepState>> pending;
    {
        QMutexLocker locker(&m_lock);
        for (const Sleeper& sleeper : std::as_const(m_sleepers))
            pending.append(sleeper.state);
        for (const auto& waking : std::as_const(m_waking))
            if (auto state = waking.lock())
                pending.append(std::move(state));
        m_sleepers.clear();
        m_waking.clear();
    }
    for (const auto& state : std::as_const(pending)) {
        state->stopped = true;
        // A sleeper whose thread has already ended can only be unwound here.
        QObject* waker = state->waker;
        QThread* thread = waker ? waker->thread() : nullptr;
        if (!thread || thread == QThread::currentThread() || thread->isFinished() || !thread->isRunning())
            resume(state);
        else
            QMetaObject::invokeMethod(waker, [state] { resume(state); }, Qt::QueuedConnection);
    }
}

void FakeClock::resume(const std::shared_ptr<SleepState>& state)
{
    if (!state->resumed.exchange(true))
        state->handle.resume();
}

QDateTime FakeClock::now() const
{
    QMutexLocker locker(&m_lock);
    return m_now;
}

std::chrono::milliseconds FakeClock::monotonic() const
{
    QMutexLocker locker(&m_lock);
    return m_monotonic;
}

void FakeClock::setNow(const QDateTime& now)
{
    {
        QMutexLocker locker(&m_lock);
        m_monotonic += std::chrono::milliseconds(std::max<qint64>(0, m_now.msecsTo(now)));
        m_now = now;
    }
    wakeDue();
}

void FakeClock::stepWallClock(std::chrono::milliseconds step)
{
    QMutexLocker locker(&m_lock);
    m_now = m_now.addMSecs(step.count());
}

void FakeClock::setAutoAdvance(bool on)
{
    QMutexLocker locker(&m_lock);
    m_autoAdvance = on;
}

int FakeClock::pendingSleepers() const
{
    QMutexLocker locker(&m_lock);
    return int(m_sleepers.size());
}

QList<std::chrono::milliseconds> FakeClock::requestedSleeps() const
{
    QMutexLocker locker(&m_lock);
    return m_requested;
}

std::chrono::milliseconds FakeClock::totalRequested() const
{
    QMutexLocker locker(&m_lock);
    std::chrono::milliseconds total{0};
    for (auto d : m_requested)
        total += d;
    return total;
}

void FakeClock::advance(std::chrono::milliseconds duration)
{
    {
        QMutexLocker locker(&m_lock);
        m_now = m_now.addMSecs(duration.count());
        m_monotonic += duration;
    }
    wakeDue();
}

void FakeClock::wakeDue()
{
    QList<Sleeper> due;
    {
        QMutexLocker locker(&m_lock);
        auto firstLater = std::stable_partition(m_sleepers.begin(), m_sleepers.end(),
                                                [&](const Sleeper& s) { return s.deadline <= m_monotonic; });
        due = QList<Sleeper>(m_sleepers.begin(), firstLater);
        m_sleepers.erase(m_sleepers.begin(), firstLater);
        std::sort(due.begin(), due.end(), [](const Sleeper& a, const Sleeper& b) {
            return a.deadline != b.deadline ? a.deadline < b.deadline : a.order < b.order;
        });
        m_waking.removeIf([](const std::weak_ptr<SleepState>& w) {
            const auto state = w.lock();
            return !state || state->resumed;
        });
        for (const Sleeper& sleeper : std::as_const(due))
            m_waking.append(sleeper.state);
    }
    for (const Sleeper& sleeper : std::as_const(due)) {
        std::shared_ptr<SleepState> state = sleeper.state;
        // The clock may be gone by the time the wake-up runs, so it holds only the sleeper's state.
        QMetaObject::invokeMethod(state->waker, [state] { resume(state); }, Qt::QueuedConnection);
    }
}

QCoro::Task<> FakeClock::sleep(std::chrono::milliseconds duration)
{
    duration = std::max(duration, std::chrono::milliseconds::zero());
    bool autoAdvance = false;
    std::chrono::milliseconds deadline;
    {
        QMutexLocker locker(&m_lock);
        m_requested.append(duration);
        autoAdvance = m_autoAdvance;
        deadline = m_monotonic + duration;
    }
    if (autoAdvance) {
        // Due at once, but resumed through the event loop like any other sleep, and unwound like
        // one if the clock goes first.
        advance(duration);
        QMutexLocker locker(&m_lock);
        deadline = m_monotonic;
    }

    auto waker = std::make_unique<detail::ClockWaker>();
    auto state = std::make_shared<SleepState>();
    state->waker = waker.get();
    if (co_await SleepAwaiter{*this, deadline, state})
        throw Stopped{};
}

}  // namespace harkwell
