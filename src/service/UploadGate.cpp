#include "service/UploadGate.h"

#include <qcoro/qcorosignal.h>

#include <memory>

namespace harkwell {

QCoro::Task<> UploadGate::acquire()
{
    auto waiter = std::make_unique<detail::GateWaiter>();
    {
        QMutexLocker locker(&m_lock);
        if (!m_busy) {
            m_busy = true;
            co_return;
        }
        // A coroutine once suspended here is never destroyed before it resumes, so the waiter
        // outlives its place in the line.
        m_waiters.push_back(waiter.get());
    }
    // The grant is queued to this thread, so it cannot arrive before we are suspended here.
    co_await qCoro(waiter.get(), &detail::GateWaiter::grant);
}

void UploadGate::release()
{
    QMutexLocker locker(&m_lock);
    if (m_waiters.empty()) {
        m_busy = false;
        return;
    }
    detail::GateWaiter* next = m_waiters.front();
    m_waiters.pop_front();
    QMetaObject::invokeMethod(next, &detail::GateWaiter::grant, Qt::QueuedConnection);
}

bool UploadGate::isBusy() const
{
    QMutexLocker locker(&m_lock);
    return m_busy;
}

int UploadGate::waiting() const
{
    QMutexLocker locker(&m_lock);
    return int(m_waiters.size());
}

}  // namespace harkwell
