#pragma once
// Lets one upload at a time onto the wire, the waiting ones strictly in arrival order. The gate
// passes straight from the releasing owner to the longest waiter; a waiter whose coroutine is
// destroyed before its turn gives its place (or the gate, if it was already handed to it) onward.

#include <QMutex>
#include <QObject>
#include <QPointer>

#include <qcoro/qcorotask.h>

#include <deque>

namespace harkwell {

class UploadGate;

namespace detail {
class GateWaiter : public QObject {
    Q_OBJECT
public:
    ~GateWaiter() override;
    UploadGate* gate = nullptr;
    bool granted = false;   // set under the gate's lock when the gate is handed over
    bool resumed = false;   // the awaiting coroutine has taken the gate
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
    friend class detail::GateWaiter;
    void abandon(detail::GateWaiter* waiter);

    mutable QMutex m_lock;  // guards m_busy and m_waiters
    bool m_busy = false;
    std::deque<detail::GateWaiter*> m_waiters;
};

}  // namespace harkwell
