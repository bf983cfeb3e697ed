#include "vault/StuckMounts.h"

namespace harkwell {

StuckMounts& StuckMounts::shared()
{
    static StuckMounts* mounts = new StuckMounts;
    return *mounts;
}

bool StuckMounts::isStuck(const QString& mountPath)
{
    std::lock_guard guard(m_lock);
    const auto found = m_children.constFind(mountPath);
    if (found == m_children.cend())
        return false;
    if (found.value()->load())
        return true;
    m_children.erase(found);
    return false;
}

void StuckMounts::note(const QString& mountPath, const ProcessRun& run)
{
    if (!run.stillRunning())
        return;
    std::lock_guard guard(m_lock);
    m_children.insert(mountPath, run.lingering);
}

}  // namespace harkwell
