#pragma once
// The mounts inside a local folder that do not answer. The vault and workspace listings walk their
// folders in this process, and a thread that opened a frozen mount would be held in the kernel
// until the mount answered: its listing would be lost, and the process could not end before it.
// So each mount below the folder is first asked by a child process under a short time limit, and
// the walk leaves out those that did not answer. Blocking, for a worker thread.

#include "platform/childprocess/ProcessRunner.h"

#include <QSet>
#include <QStringList>

#include <chrono>

namespace harkwell {

class FrozenMounts {
public:
    static constexpr std::chrono::milliseconds kProbeLimit{2000};

    // The mount points strictly below `folder` that did not list their first entry within `limit`,
    // or whose last probe is still stuck (those are not asked again until it has gone). Mounts the
    // walk would never reach (below a pruned name, or a hidden one when `skipHidden`) are not asked.
    static QStringList below(const QString& folder, const QSet<QString>& prunedNames, bool skipHidden,
                             ProcessRunner& runner = ProcessRunner::system(), std::chrono::milliseconds limit = kProbeLimit);
};

}  // namespace harkwell
