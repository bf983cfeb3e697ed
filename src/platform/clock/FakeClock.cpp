#include "platform/clock/FakeClock.h"

#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotimer.h>

#include <algorithm>

namespace harkwell {

FakeClock::FakeClock(QDateTime start) : m_now(std::move(start)) {}

QDateTime FakeClock::now() const
{
    QMutexLocker locker(&m_lock);
    return m_now;
}

void FakeClock::setNow(const QDateTime& now)
{
    {
        QMutexLocker locker(&m_lock);
        m_now = now;
    }
    wakeDue();
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
    }
    wakeDue();
}

void FakeClock::wakeDue()
{
    QList<Sleeper> due;
    {
        QMutexLocker locker(&m_lock);
        auto firstLater = std::stable_partition(m_sleepers.begin(), m_sleepers.end(),
                                                [&](const Sleeper& s) { return s.deadline <= m_now; });
        due = QList<Sleeper>(m_sleepers.begin(), firstLater);
        m_sleepers.erase(m_sleepers.begin(), firstLater);
    }
    std::sort(due.begin(), due.end(), [](const Sleeper& a, const Sleeper& b) {
        return a.deadline != b.deadline ? a.deadline < b.deadline : a.order < b.order;
    });
    for (const Sleeper& sleeper : due) {
        if (QPointer<detail::ClockWaker> waker = sleeper.waker)
            QMetaObject::invokeMethod(waker, [waker] { if (waker) emit waker->fired(); }, Qt::QueuedConnection);
    }
}

QCoro::Task<> FakeClock::sleep(std::chrono::milliseconds duration)
{
    duration = std::max(duration, std::chrono::milliseconds::zero());
    bool autoAdvance = false;
    {
        QMutexLocker locker(&m_lock);
        m_requested.append(duration);
        autoAdvance = m_autoAdvance;
    }
    if (autoAdvance) {
        advance(duration);
        co_await QCoro::sleepFor(std::chrono::milliseconds::zero());
        co_return;
    }

    auto waker = std::make_unique<detail::ClockWaker>();
    {
        QMutexLocker locker(&m_lock);
        m_sleepers.append(Sleeper{m_now.addMSecs(duration.count()), m_nextOrder++, waker.get()});
    }
    // A zero sleep is due at once; the queued wake-up still lands after we start waiting.
    if (duration == std::chrono::milliseconds::zero())
        wakeDue();
    co_await qCoro(waker.get(), &detail::ClockWaker::fired);
}

}  // namespace harkwell
