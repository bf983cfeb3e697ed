#pragma once
// Instances the test says are running. Each can be set to quit when asked, only after a number of
// looks, or never; requests are recorded.

#include "platform/runningapps/RunningApplications.h"

#include <QHash>
#include <QMap>

#include <limits>

namespace harkwell {

class FakeRunningApplications final : public RunningApplications {
public:
    static constexpr int kNever = std::numeric_limits<int>::max();

    // An instance that reports itself gone once it has been asked to quit and then looked at
    // `looksUntilGone` times (0: gone at once after the request; kNever: never).
    RunningProcess addInstance(const QString& bundleIdentifier, int looksUntilGone = 0)
    {
        const RunningProcess process{m_nextPid++, 1000};
        m_instances[bundleIdentifier].append(process);
        m_looksLeft.insert(process.pid, looksUntilGone);
        return process;
    }

    const QList<RunningProcess>& quitRequests() const { return m_quitRequests; }
    int looks() const { return m_looks; }

    QList<RunningProcess> instances(const QString& bundleIdentifier) override
    {
        QList<RunningProcess> running;
        for (const RunningProcess& process : m_instances.value(bundleIdentifier))
            if (!gone(process))
                running.append(process);
        return running;
    }
    bool requestQuit(const RunningProcess& process) override
    {
        m_quitRequests.append(process);
        return true;
    }
    bool hasTerminated(const RunningProcess& process) override
    {
        ++m_looks;
        if (!m_quitRequests.contains(process))
            return false;
        int& left = m_looksLeft[process.pid];
        if (left == 0)
            return true;
        if (left != kNever)
            --left;
        return false;
    }

private:
    bool gone(const RunningProcess& process) const
    {
        return m_quitRequests.contains(process) && m_looksLeft.value(process.pid) == 0;
    }

    QMap<QString, QList<RunningProcess>> m_instances;
    QHash<qint64, int> m_looksLeft;
    QList<RunningProcess> m_quitRequests;
    qint64 m_nextPid = 4000;
    int m_looks = 0;
};

}  // namespace harkwell
