#pragma once
// Durations set by the test, per path; a path can be made to hang until released, like a file on
// a mount that stopped answering.

#include "platform/media/AudioDurationProbe.h"

#include <QHash>
#include <QMutex>
#include <QWaitCondition>

namespace harkwell {

class FakeDurationProbe final : public AudioDurationProbe {
public:
    // Waits for probes still running on other threads, so none outlives the fake.
    ~FakeDurationProbe() override
    {
        release();
        QMutexLocker locker(&m_lock);
        while (m_inFlight > 0)
            m_released.wait(&m_lock);
    }

    void setDuration(const QString& path, std::optional<double> seconds)
    {
        QMutexLocker locker(&m_lock);
        m_durations.insert(path, seconds);
    }
    void hang(const QString& path)
    {
        QMutexLocker locker(&m_lock);
        m_hanging.insert(path, true);
    }
    // Lets every hanging probe return (with nothing).
    void release()
    {
        QMutexLocker locker(&m_lock);
        m_hanging.clear();
        m_released.wakeAll();
    }
    int calls() const
    {
        QMutexLocker locker(&m_lock);
        return m_calls;
    }

    std::optional<double> duration(const QString& path) override
    {
        QMutexLocker locker(&m_lock);
        ++m_calls;
        ++m_inFlight;
        while (m_hanging.contains(path))
            m_released.wait(&m_lock);
        --m_inFlight;
        m_released.wakeAll();
        return m_durations.value(path);
    }

private:
    mutable QMutex m_lock;  // guards every field below
    QWaitCondition m_released;
    QHash<QString, std::optional<double>> m_durations;
    QHash<QString, bool> m_hanging;
    int m_calls = 0;
    int m_inFlight = 0;
};

}  // namespace harkwell
