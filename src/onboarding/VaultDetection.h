#pragma once
// Runs vault detection on a thread of its own, one run at a time for the whole application, and
// hands the list back on the main thread. Nothing waits for it: a window that asks while a run is
// under way gets that run's list, and the run itself is bounded by the search's time limit.

#include "onboarding/VaultCandidate.h"

#include <QList>
#include <QObject>

#include <functional>

namespace harkwell {

class VaultDetection final : public QObject {
    Q_OBJECT
public:
    using Detector = std::function<QList<VaultCandidate>()>;

    // Kept until the process ends: a run still under way at the end reports to nothing else.
    static VaultDetection& shared();

    // Starts `detector` unless a run is under way; true when it started. Main thread only.
    bool start(Detector detector);
    bool isRunning() const { return m_running; }

signals:
    void finished(const QList<harkwell::VaultCandidate>& candidates);

private:
    VaultDetection() = default;

    bool m_running = false;
};

}  // namespace harkwell
