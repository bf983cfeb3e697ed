#include "platform/queue/SerialQueue.h"

namespace harkwell {

SerialQueue::SerialQueue(const QString& label) : m_label(label), m_thread(std::make_unique<QThread>())
{
    // Linux keeps 15 bytes of a thread's name; Qt cuts it for us.
    m_thread->setObjectName(label);
    m_context = new QObject;
    m_context->moveToThread(m_thread.get());
    QObject::connect(m_thread.get(), &QThread::finished, m_context, &QObject::deleteLater);
    m_thread->start();
}

SerialQueue::~SerialQueue()
{
    // Work already posted runs before the thread stops.
    sync([] {});
    m_thread->quit();
    m_thread->wait();
}

void SerialQueue::post(std::function<void()> work)
{
    QMetaObject::invokeMethod(m_context, std::move(work), Qt::QueuedConnection);
}

void SerialQueue::sync(const std::function<void()>& work)
{
    if (isCurrent()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(m_context, [&work] { work(); }, Qt::BlockingQueuedConnection);
}

bool SerialQueue::isCurrent() const { return QThread::currentThread() == m_thread.get(); }

}  // namespace harkwell
