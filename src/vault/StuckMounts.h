#pragma once
// Mounts whose last probe or listing is still stuck in the kernel after its kill, by mount path.
// Such a mount is not probed again until that child has gone: each new probe would leave one more
// process behind. Shared by every thread; never destroyed, since probes may outlive exit.

#include "platform/childprocess/ProcessRunner.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

namespace harkwell {

class StuckMounts {
public:
    static StuckMounts& shared();

    // True while the child last noted for the mount has not gone.
    bool isStuck(const QString& mountPath);
    // Keeps the mount's child when it was still there after its kill.
    void note(const QString& mountPath, const ProcessRun& run);

private:
    std::mutex m_lock;  // guards m_children: mounts are probed on many threads
    QHash<QString, std::shared_ptr<const std::atomic<bool>>> m_children;
};

}  // namespace harkwell
