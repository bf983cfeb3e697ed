#include "onboarding/VaultDetection.h"

#include <thread>

namespace harkwell {

VaultDetection& VaultDetection::shared()
{
    // Never destroyed: a detached run may report after the application's objects are gone.
    static VaultDetection* detection = new VaultDetection;
    return *detection;
}

bool VaultDetection::start(Detector detector)
{
    if (m_running)
        return false;
    m_running = true;
    // Not the shared thread pool: capture copies wait in that pool, and a detection held up by a
    // slow folder must not make them, or anything else, wait.
    std::thread([this, detector = std::move(detector)] {
        QList<VaultCandidate> candidates = detector();
        QMetaObject::invokeMethod(
            this,
            [this, candidates = std::move(candidates)] {
                m_running = false;
                emit finished(candidates);
            },
            Qt::QueuedConnection);
    }).detach();
    return true;
}

}  // namespace harkwell
