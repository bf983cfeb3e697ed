#pragma once
// The time source every wait goes through. Production code uses the system clock; tests drive a
// FakeClock so that schedules of seconds or hours run instantly and in a known order.

#include <QDateTime>

#include <qcoro/qcorotask.h>

#include <chrono>

namespace harkwell {

class Clock {
public:
    virtual ~Clock() = default;

    virtual QDateTime now() const = 0;
    // The same moment as milliseconds since 1970 UTC: what loops compare, with no time-zone lookup.
    virtual qint64 msecsSinceEpoch() const { return now().toMSecsSinceEpoch(); }
    // Time since some fixed moment, never set back or forward with the wall clock: what every
    // interval, limit and schedule is measured in. Sleeps run on it too.
    virtual std::chrono::milliseconds monotonic() const;
    // Resumes the awaiting coroutine on its own thread once `duration` has passed on this clock.
    virtual QCoro::Task<> sleep(std::chrono::milliseconds duration) = 0;

    // The wall clock and Qt timers; stateless, shared by everything that is not under test.
    static Clock& system();
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override;
    qint64 msecsSinceEpoch() const override;
    std::chrono::milliseconds monotonic() const override;
    QCoro::Task<> sleep(std::chrono::milliseconds duration) override;
};

}  // namespace harkwell
