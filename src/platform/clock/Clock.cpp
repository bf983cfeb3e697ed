#include "platform/clock/Clock.h"

#include <qcoro/qcorotimer.h>

namespace harkwell {

Clock& Clock::system()
{
    static SystemClock clock;
    return clock;
}

std::chrono::milliseconds Clock::monotonic() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

std::chrono::milliseconds SystemClock::monotonic() const { return Clock::monotonic(); }

QDateTime SystemClock::now() const { return QDateTime::currentDateTime(); }

qint64 SystemClock::msecsSinceEpoch() const { return QDateTime::currentMSecsSinceEpoch(); }

QCoro::Task<> SystemClock::sleep(std::chrono::milliseconds duration)
{
    co_await QCoro::sleepFor(duration < std::chrono::milliseconds::zero() ? std::chrono::milliseconds::zero() : duration);
}

}  // namespace harkwell
