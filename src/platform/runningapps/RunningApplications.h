#pragma once
// Another application's running instances, named by its bundle identifier: finding them, asking
// them politely to quit, and telling when they have.

#include <QList>
#include <QString>

namespace harkwell {

// One process, told apart from a later process that happens to get the same id.
struct RunningProcess {
    qint64 pid = 0;
    quint64 startTicks = 0;  // when it started, in clock ticks since boot
    bool operator==(const RunningProcess&) const = default;
};

class RunningApplications {
public:
    virtual ~RunningApplications() = default;

    // The current user's processes of that application; never this process.
    virtual QList<RunningProcess> instances(const QString& bundleIdentifier) = 0;
    // The polite request (SIGTERM), never a forced end. False when it could not be delivered.
    virtual bool requestQuit(const RunningProcess& process) = 0;
    virtual bool hasTerminated(const RunningProcess& process) = 0;

    // This machine's.
    static RunningApplications& system();
};

}  // namespace harkwell
