#pragma once
// A clock that tests move by hand (advance) or that moves itself by each requested sleep
// (auto-advance). Sleepers are woken in deadline order, each on the thread it slept on. Wall and
// monotonic time move together as time passes; stepWallClock() moves the wall clock alone, as an
// NTP step or a time set by hand does, and wakes nobody, since sleeps run on monotonic time.
// A sleep still pending when the clock goes ends by throwing FakeClock::Stopped, so that every
// coroutine waiting on it unwinds and frees its frame instead of staying suspended forever.

#include "platform/clock/Clock.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <coroutine>
#include <memory>

namespace harkwell {

namespace detail {
// Lives on the sleeping thread, so a wake-up posted to it resumes the sleeper there.
class ClockWaker : public QObject {
    Q_OBJECT
};
}  // namespace detail

class FakeClock final : public Clock {
public:
    // Thrown out of a sleep that was still pending when its clock was destroyed.
    struct Stopped {};

    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 3, 4), QTime(9, 0), Qt::UTC));
    ~FakeClock() override;

    QDateTime now() const override;
    std::chrono::milliseconds monotonic() const override;
    QCoro::Task<> sleep(std::chrono::milliseconds duration) override;

    // Moves the wall clock to `now`; a move forward also lets that much monotonic time pass (a wake
    // from suspend), a move back leaves monotonic time where it is.
    void setNow(const QDateTime& now);
    // Sets the wall clock forward or back by `step`; monotonic time stays.
    void stepWallClock(std::chrono::milliseconds step);
    // Moves time forward and wakes every sleeper whose deadline has come.
    void advance(std::chrono::milliseconds duration);
    // When on, a sleep moves the clock by its own duration and returns after one turn of the event loop.
    void setAutoAdvance(bool on);

    // Ends every pending sleep as the destructor does, for a fixture whose coroutines hold guards
    // on objects that must still be alive while they unwind.
    void unwindSleepers();

    int pendingSleepers() const;
    // Every duration asked of sleep(), in call order.
    QList<std::chrono::milliseconds> requestedSleeps() const;
    std::chrono::milliseconds totalRequested() const;

private:
    // One suspended sleep; shared between the clock, the sleeping frame and a posted wake-up.
    struct SleepState {
        std::coroutine_handle<> handle;
        QPointer<detail::ClockWaker> waker;
        std::atomic<bool> resumed{false};
        std::atomic<bool> stopped{false};
    };
    struct Sleeper {
        std::chrono::milliseconds deadline;  // monotonic
        quint64 order;
        std::shared_ptr<SleepState> state;
    };
    struct SleepAwaiter;
    void wakeDue();
    static void resume(const std::shared_ptr<SleepState>& state);

    mutable QMutex m_lock;  // guards every field below
    QDateTime m_now;
    std::chrono::milliseconds m_monotonic{0};
    bool m_autoAdvance = false;
    quint64 m_nextOrder = 0;
    QList<Sleeper> m_sleepers;
    // Woken, their wake-up possibly still waiting in an event queue.
    QList<std::weak_ptr<SleepState>> m_waking;
    QList<std::chrono::milliseconds> m_requested;
};

}  // namespace harkwell
