#pragma once
// Lets one upload at a time onto the wire, the waiting ones strictly in arrival order. The gate
// passes straight from the releasing owner to the longest waiter, a moment later (the hand-over is
// queued to the waiter's thread), so the next upload starts after the previous one has returned.

#include <QMutex>
#include <QObject>
#include <QPointer>

#include <qcoro/qcorotask.h>

#include <deque>

namespace harkwell {

namespace detail {
class GateWaiter : public QObject {
    Q_OBJECT
signals:
    void grant();
};
}  // namespace detail

class UploadGate {
public:
    // Returns once the caller owns the gate.
    QCoro::Task<> acquire();
    // Hands the gate to the longest waiter, or frees it.
    void release();

    // Releases on every way out of the scope that owns it.
    class Lease {
    public:
        explicit Lease(UploadGate& gate) : m_gate(&gate) {}
        ~Lease() { if (m_gate) m_gate->release(); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

    private:
        UploadGate* m_gate;
    };

    bool isBusy() const;
    int waiting() const;

private:
    mutable QMutex m_lock;  // guards m_busy and m_waiters
    bool m_busy = false;
    std::deque<detail::GateWaiter*> m_waiters;
};

}  // namespace harkwell
