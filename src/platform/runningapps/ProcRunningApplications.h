#pragma once
// Running applications read from /proc: a process belongs to an application when its command name
// (/proc/<pid>/comm, cut to 15 characters by the kernel) or its executable's file name names it,
// by the whole bundle identifier or by its last component ("app.corvale.Corvale" → "Corvale"),
// ignoring case.

#include "platform/runningapps/RunningApplications.h"

#include <QStringList>

#include <optional>

namespace harkwell {

class ProcRunningApplications final : public RunningApplications {
public:
    QList<RunningProcess> instances(const QString& bundleIdentifier) override;
    bool requestQuit(const RunningProcess& process) override;
    bool hasTerminated(const RunningProcess& process) override;

    // The names a process of this application may go by.
    static QStringList processNames(const QString& bundleIdentifier);

private:
    struct ProcessStat {
        char state = '?';
        quint64 startTicks = 0;
    };
    static std::optional<ProcessStat> readStat(qint64 pid);
};

}  // namespace harkwell
