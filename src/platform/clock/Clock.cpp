#include "platform/clock/Clock.h"

#include <qcoro/qcorotimer.h>

namespace harkwell {

Clock& Clock::system()
{
    static SystemClock clock;
    return clock;
}

QDateTime SystemClock::now() const { return QDateTime::currentDateTime(); }

qint64 SystemClock::msecsSinceEpoch() const { return QDateTime::currentMSecsSinceEpoch(); }

QCoro::Task<> SystemClock::sleep(std::chrono::milliseconds duration)
{
    co_await QCoro::sleepFor(duration < std::chrono::milliseconds::zero() ? std::chrono::milliseconds::zero() : duration);
}

}  // namespace harkwell
