#include "capture/CaptureCoordinator.h"

#include "foundation/EnvironmentCheck.h"
#include "foundation/HarkwellLog.h"
#include "foundation/Settings.h"
#include "platform/defaults/Defaults.h"

#include <QFileInfo>

namespace harkwell {

CaptureCoordinator::CaptureCoordinator(CaptureStateStore& store, CaptureProbes probes, FolderSource enabledFolders)
    : m_store(store), m_probes(probes), m_enabledFolders(std::move(enabledFolders))
{
}

CaptureCoordinator::~CaptureCoordinator()
{
    // Suspended work stays suspended once the queue's thread has stopped; no timer loop may wake first.
    m_queue.sync([this] {
        ++m_timerGeneration;
        m_jobs.clear();
    });
}

CaptureCoordinator& CaptureCoordinator::shared()
{
    static CaptureCoordinator coordinator(CaptureStateStore::shared(), CaptureProbes::system(),
                                          [] { return Settings::shared().enabledWatchedFolders(); });
    return coordinator;
}

void CaptureCoordinator::start()
{
    enqueue([this]() -> QCoro::Task<> {
        startWork();
        co_return;
    });
}

void CaptureCoordinator::stop()
{
    enqueue([this]() -> QCoro::Task<> {
        stopWork();
        co_return;
    });
}

void CaptureCoordinator::reload()
{
    enqueue([this]() -> QCoro::Task<> {
        resetWork();
        co_return;
    });
    start();
}

void CaptureCoordinator::setOnNewCapture(NewCaptureHandler handler)
{
    QMutexLocker locker(&m_handlerLock);
    m_onNewCapture = std::move(handler);
}

void CaptureCoordinator::setOnPollFinished(std::function<void(int)> handler)
{
    QMutexLocker locker(&m_handlerLock);
    m_onPollFinished = std::move(handler);
}

void CaptureCoordinator::setOnVoiceMemosAccess(std::function<void(const CaptureAccess::State&)> handler)
{
    QMutexLocker locker(&m_handlerLock);
    m_onVoiceMemosAccess = std::move(handler);
}

void CaptureCoordinator::enqueue(Job job)
{
    m_queue.post([this, job = std::move(job)]() mutable {
        m_jobs.push_back(std::move(job));
        if (!m_draining)
            drain();
    });
}

// A serial queue for work that waits: the next job starts only when the one before has finished,
// however long it stayed suspended.
QCoro::Task<> CaptureCoordinator::drain()
{
    m_draining = true;
    while (!m_jobs.empty()) {
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        co_await job();
    }
    m_draining = false;
}

QCoro::Task<> CaptureCoordinator::runTimer(quint64 generation)
{
    // Kept in monotonic time: a wall clock set back would otherwise put the next tick as far ahead.
    Clock& clock = m_probes.clock;
    std::chrono::milliseconds due = clock.monotonic() + kFirstTick;
    for (;;) {
        co_await clock.sleep(std::max(std::chrono::milliseconds::zero(), due - clock.monotonic()));
        if (generation != m_timerGeneration)
            co_return;
        if (!m_tickQueued) {
            m_tickQueued = true;
            m_jobs.push_back([this]() -> QCoro::Task<> {
                m_tickQueued = false;
                co_await tick();
            });
            if (!m_draining)
                drain();
        }
        // Events missed while a tick held the queue are merged, as a dispatch timer's are.
        const std::chrono::milliseconds now = clock.monotonic();
        while (due <= now)
            due += kPollInterval;
    }
}

void CaptureCoordinator::startWork()
{
    if (m_timerRunning)
        return;
    m_watchers.clear();
    for (const WatchedFolder& folder : m_enabledFolders())
        m_watchers.push_back(std::make_unique<FolderWatcher>(folder, m_store, m_probes));
    if (m_watchers.empty()) {
        HarkwellLog::log(QStringLiteral("[harkwell] capture: no folders enabled; coordinator idle"));
        return;
    }
    if (!m_hasInitialised) {
        for (const auto& watcher : m_watchers)
            watcher->runInitialIndex();
        m_hasInitialised = true;
    }
    m_timerRunning = true;
    runTimer(++m_timerGeneration);

    QStringList names;
    for (const auto& watcher : m_watchers)
        names.append(watcher->folder().displayName);
    HarkwellLog::log(QStringLiteral("[harkwell] capture: coordinator started (poll=%1s, folders=%2)")
                         .arg(QString::number(kPollInterval.count()), names.join(QStringLiteral(", "))));
}

void CaptureCoordinator::stopWork()
{
    ++m_timerGeneration;
    m_timerRunning = false;
    m_watchers.clear();
    HarkwellLog::log(QStringLiteral("[harkwell] capture: coordinator stopped"));
}

void CaptureCoordinator::resetWork()
{
    ++m_timerGeneration;
    m_timerRunning = false;
    m_watchers.clear();
    m_hasInitialised = false;
}

QCoro::Task<> CaptureCoordinator::tick()
{
    int newCaptures = 0;
    for (const auto& watcher : m_watchers) {
        // A folder whose last call still hangs is skipped without a call; its line was said once.
        if (!watcher->answering())
            continue;
        const CaptureAccess::State state = watcher->accessState();
        if (!watcher->answering())
            continue;  // a state read from a call that never answered says nothing
        reportAccess(state, watcher->folder());
        if (!state.isOk())
            continue;
        // Each capture goes on the moment it passes the guards, not once the whole folder is done.
        const QList<FolderWatcher::NewCapture> found = co_await watcher->poll([this](const FolderWatcher::NewCapture& capture) {
            NewCaptureHandler handler;
            {
                QMutexLocker locker(&m_handlerLock);
                handler = m_onNewCapture;
            }
            if (handler)
                handler(capture);
            else  // nobody takes it: the next poll offers it again
                m_store.release(QFileInfo(capture.sourceUrl.toLocalFile()).fileName(), capture.folderId);
        });
        newCaptures += int(found.size());
    }
    std::function<void(int)> pollFinished;
    {
        QMutexLocker locker(&m_handlerLock);
        pollFinished = m_onPollFinished;
    }
    if (pollFinished)
        pollFinished(newCaptures);
}

void CaptureCoordinator::reportAccess(const CaptureAccess::State& state, const WatchedFolder& folder)
{
    if (const auto last = m_lastStates.constFind(folder.id); last != m_lastStates.cend() && *last == state)
        return;
    m_lastStates.insert(folder.id, state);
    HarkwellLog::log(QStringLiteral("[harkwell] capture: [%1] access -> %2").arg(folder.displayName, state.summary(folder.displayName)));

    if (folder.id == QLatin1String(WatchedFolder::kVoiceMemosId)) {
        std::function<void(const CaptureAccess::State&)> voiceMemosAccess;
        {
            QMutexLocker locker(&m_handlerLock);
            voiceMemosAccess = m_onVoiceMemosAccess;
        }
        if (voiceMemosAccess)
            voiceMemosAccess(state);
    }

    const QString prefix = QStringLiteral("capture-access-") + folder.id + QLatin1Char('-');
    switch (state.kind()) {
    case CaptureAccess::State::Kind::Denied:
        EnvironmentCheck::notifyOnce(prefix + QStringLiteral("denied"), state.summary(folder.displayName), state.explanation());
        break;
    case CaptureAccess::State::Kind::Empty:
        EnvironmentCheck::notifyOnce(prefix + QStringLiteral("empty"), state.summary(folder.displayName), state.explanation());
        break;
    case CaptureAccess::State::Kind::Missing:
        EnvironmentCheck::notifyOnce(prefix + QStringLiteral("missing"), state.summary(folder.displayName), state.explanation());
        break;
    case CaptureAccess::State::Kind::Unreadable:
        EnvironmentCheck::notifyOnce(prefix + QStringLiteral("unreadable"), state.summary(folder.displayName), state.explanation());
        break;
    case CaptureAccess::State::Kind::Ok:
    case CaptureAccess::State::Kind::NotConfigured: {
        // Back to health: a later fall into any of the problems notifies again.
        Defaults defaults = Defaults::standard();
        for (const char* suffix : {"denied", "empty", "missing", "unreadable"})
            defaults.remove(EnvironmentCheck::notifiedKey(prefix + QLatin1String(suffix)));
        break;
    }
    }
}

}  // namespace harkwell
