#pragma once
// The clock of capture: one FolderWatcher per enabled watched folder, an initial index once, and
// every 30 seconds a probe of each folder's access and a poll of the readable ones. Each new capture
// is handed to whoever set onNewCapture (the capture pipeline). All work runs in order on the
// "harkwell.capture.coordinator" queue; a tick that waits (size re-checks, a slow duration probe)
// holds the queue until it ends, and ticks that fall due meanwhile are merged into one. Ticks are
// kept in monotonic time. A folder whose file-system calls stop answering holds a tick for one
// call's deadline (FolderCalls) and is then skipped until the call returns.

#include "capture/CaptureAccess.h"
#include "capture/CaptureProbes.h"
#include "capture/CaptureStateStore.h"
#include "capture/FolderWatcher.h"
#include "foundation/WatchedFolder.h"
#include "platform/queue/SerialQueue.h"

#include <QHash>
#include <QMutex>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace harkwell {

class CaptureCoordinator {
public:
    using NewCaptureHandler = std::function<void(const FolderWatcher::NewCapture&)>;
    using FolderSource = std::function<QList<WatchedFolder>()>;

    // `enabledFolders` is read at each start, on the coordinator's queue.
    CaptureCoordinator(CaptureStateStore& store, CaptureProbes probes, FolderSource enabledFolders);
    ~CaptureCoordinator();
    CaptureCoordinator(const CaptureCoordinator&) = delete;
    CaptureCoordinator& operator=(const CaptureCoordinator&) = delete;

    // Over the shared ledger, the system's probes and Settings::shared()'s enabled folders.
    static CaptureCoordinator& shared();

    // Each returns at once; the work runs later on the queue, in call order.
    void start();
    void stop();
    // Forgets that the initial index ran, then starts: folders whose ledger is empty are indexed again.
    void reload();

    // Called on the coordinator's queue, once per capture, as soon as the capture passes the guards.
    // The handler marks it seen in the ledger once it has its audio copy and note, or releases it.
    // Set it before start(), clear it after stop().
    void setOnNewCapture(NewCaptureHandler handler);
    // The capture status listens here: the number of new captures at the end of every tick, and each
    // reported change of the Voice Memos folder's access.
    void setOnPollFinished(std::function<void(int newCaptures)> handler);
    void setOnVoiceMemosAccess(std::function<void(const CaptureAccess::State&)> handler);

    static constexpr std::chrono::seconds kPollInterval{30};
    static constexpr std::chrono::seconds kFirstTick{2};

private:
    using Job = std::function<QCoro::Task<>()>;
    void enqueue(Job job);
    QCoro::Task<> drain();
    QCoro::Task<> runTimer(quint64 generation);

    void startWork();
    void stopWork();
    void resetWork();
    QCoro::Task<> tick();
    void reportAccess(const CaptureAccess::State& state, const WatchedFolder& folder);

    CaptureStateStore& m_store;
    CaptureProbes m_probes;
    FolderSource m_enabledFolders;

    mutable QMutex m_handlerLock;  // guards the three handlers: set from any thread, called on the queue
    NewCaptureHandler m_onNewCapture;
    std::function<void(int)> m_onPollFinished;
    std::function<void(const CaptureAccess::State&)> m_onVoiceMemosAccess;

    // Touched only on the queue's thread.
    std::deque<Job> m_jobs;
    bool m_draining = false;
    bool m_timerRunning = false;
    quint64 m_timerGeneration = 0;  // a timer loop of an older generation ends at its next wake-up
    bool m_tickQueued = false;
    std::vector<std::unique_ptr<FolderWatcher>> m_watchers;
    bool m_hasInitialised = false;
    QHash<QString, CaptureAccess::State> m_lastStates;

    // Last, so its thread stops before anything it works on goes away.
    SerialQueue m_queue{QStringLiteral("harkwell.capture.coordinator")};
};

}  // namespace harkwell
