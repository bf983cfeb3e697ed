#pragma once
// A clock that tests move by hand (advance) or that moves itself by each requested sleep
// (auto-advance). Sleepers are woken in deadline order, each on the thread it slept on.

#include "platform/clock/Clock.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>

#include <memory>

namespace harkwell {

namespace detail {
class ClockWaker : public QObject {
    Q_OBJECT
signals:
    void fired();
};
}  // namespace detail

class FakeClock final : public Clock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 3, 4), QTime(9, 0), Qt::UTC));

    QDateTime now() const override;
    QCoro::Task<> sleep(std::chrono::milliseconds duration) override;

    void setNow(const QDateTime& now);
    // Moves time forward and wakes every sleeper whose deadline has come.
    void advance(std::chrono::milliseconds duration);
    // When on, a sleep moves the clock by its own duration and returns after one turn of the event loop.
    void setAutoAdvance(bool on);

    int pendingSleepers() const;
    // Every duration asked of sleep(), in call order.
    QList<std::chrono::milliseconds> requestedSleeps() const;
    std::chrono::milliseconds totalRequested() const;

private:
    struct Sleeper {
        QDateTime deadline;
        quint64 order;
        QPointer<detail::ClockWaker> waker;
    };
    void wakeDue();

    mutable QMutex m_lock;  // guards every field below
    QDateTime m_now;
    bool m_autoAdvance = false;
    quint64 m_nextOrder = 0;
    QList<Sleeper> m_sleepers;
    QList<std::chrono::milliseconds> m_requested;
};

}  // namespace harkwell
