#include "service/UploadGate.h"

#include <qcoro/qcorosignal.h>

#include <algorithm>
#include <memory>

namespace harkwell {

detail::GateWaiter::~GateWaiter()
{
    if (!resumed && gate)
        gate->abandon(this);
}

QCoro::Task<> UploadGate::acquire()
{
    auto waiter = std::make_unique<detail::GateWaiter>();
    {
        QMutexLocker locker(&m_lock);
        if (!m_busy) {
            m_busy = true;
            waiter->resumed = true;
            co_return;
        }
        waiter->gate = this;
        m_waiters.push_back(waiter.get());
    }
    // The grant is queued to this thread, so it cannot arrive before we are suspended here.
    co_await qCoro(waiter.get(), &detail::GateWaiter::grant);
    waiter->resumed = true;
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
    next->granted = true;
    QMetaObject::invokeMethod(next, &detail::GateWaiter::grant, Qt::QueuedConnection);
}

void UploadGate::abandon(detail::GateWaiter* waiter)
{
    bool handOn = false;
    {
        QMutexLocker locker(&m_lock);
        const auto found = std::find(m_waiters.begin(), m_waiters.end(), waiter);
        if (found != m_waiters.end())
            m_waiters.erase(found);
        else
            handOn = waiter->granted;
    }
    if (handOn)
        release();
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
