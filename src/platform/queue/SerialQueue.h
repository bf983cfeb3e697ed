#pragma once
// A named worker thread that runs posted work one item at a time, in order: the stand-in for a
// serial dispatch queue. Its context object lives on the thread, for timers and queued calls.

#include <QObject>
#include <QString>
#include <QThread>

#include <functional>
#include <memory>

namespace harkwell {

class SerialQueue {
public:
    explicit SerialQueue(const QString& label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const QString& label() const { return m_label; }
    void post(std::function<void()> work);
    // Runs work on the queue and waits for it; runs it directly when already on the queue.
    void sync(const std::function<void()>& work);
    bool isCurrent() const;
    QObject* context() const { return m_context; }

private:
    QString m_label;
    std::unique_ptr<QThread> m_thread;
    QObject* m_context = nullptr;  // owned by the thread's finish: deleted there
};

}  // namespace harkwell
