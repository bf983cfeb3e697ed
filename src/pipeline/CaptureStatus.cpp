#include "pipeline/CaptureStatus.h"

#include "foundation/InboxNoteFormat.h"
#include "foundation/JobStatus.h"
#include "foundation/Settings.h"
#include "platform/filesystem/FileSystem.h"
#include "platform/paths/Paths.h"
#include "platform/queue/SerialQueue.h"

#include <QCoreApplication>

namespace harkwell {

CaptureStatus::CaptureStatus(Settings& settings, Clock& clock, FileSystem& files, QObject* parent)
    : QObject(parent),
      m_settings(settings),
      m_clock(clock),
      m_files(files),
      m_queue(std::make_unique<SerialQueue>(QStringLiteral("harkwell.capture.status")))
{
}

CaptureStatus::~CaptureStatus()
{
    // Stopping the queue first means no timer loop wakes again to touch what follows.
    ++m_timerGeneration;
    m_queue.reset();
}

CaptureStatus& CaptureStatus::shared()
{
    static CaptureStatus* status = [] {
        auto* made = new CaptureStatus(Settings::shared(), Clock::system(), FileSystem::local());
        if (QCoreApplication* app = QCoreApplication::instance())
            made->moveToThread(app->thread());
        return made;
    }();
    return *status;
}

void CaptureStatus::start()
{
    const quint64 generation = ++m_timerGeneration;
    m_queue->post([this, generation] { runTimer(generation); });
}

QCoro::Task<> CaptureStatus::runTimer(quint64 generation)
{
    // Deadlines from the start, so the counting time does not push later ticks back.
    QDateTime next = m_clock.now().addSecs(kFirstCount.count());
    for (;;) {
        co_await m_clock.sleep(std::chrono::milliseconds(std::max<qint64>(0, m_clock.now().msecsTo(next))));
        if (m_timerGeneration.load() != generation)
            co_return;
        refreshLocked();
        // Deadlines missed while the computer slept or the clock jumped merge into this one count.
        const QDateTime now = m_clock.now();
        next = next.addSecs(kInterval.count());
        if (next <= now)
            next = next.addSecs((next.secsTo(now) / kInterval.count() + 1) * kInterval.count());
    }
}

void CaptureStatus::refreshLocked()
{
    const QString inbox = Paths::expandTilde(m_settings.settings().vaultPath) + QStringLiteral("/_inbox");
    publish(count(inbox, m_clock.now(), m_files));
}

CaptureStatus::Snapshot CaptureStatus::count(const QString& inboxFolder, const QDateTime& now, FileSystem& files)
{
    Snapshot snapshot;
    const auto entries = files.listFolder(inboxFolder);
    if (!entries)
        return snapshot;

    const QDateTime startOfDay = now.toLocalTime().date().startOfDay();
    std::optional<InboxFrontmatter> newest;
    for (const FolderEntry& entry : *entries) {
        if (entry.name.startsWith(QLatin1Char('.')))
            continue;
        const qsizetype dot = entry.name.lastIndexOf(QLatin1Char('.'));
        if (dot <= 0 || QStringView(entry.name).mid(dot + 1) != QLatin1String("md"))
            continue;
        const auto note = InboxNoteFormat::readFrontmatter(inboxFolder + QLatin1Char('/') + entry.name);
        if (!note)
            continue;

        switch (JobStatus::countAs(note->mirelonJobStatus)) {
        case JobStatus::Count::Done: ++snapshot.done; break;
        case JobStatus::Count::Processing: ++snapshot.processing; break;
        case JobStatus::Count::Failed: ++snapshot.failed; break;
        case JobStatus::Count::Pending: ++snapshot.pending; break;
        }

        if (note->created >= startOfDay)
            ++snapshot.totalToday;
        if (!newest || note->created > newest->created)
            newest = *note;
    }
    if (newest) {
        snapshot.mostRecentTitle = newest->title;
        snapshot.mostRecentId = newest->id;
    }
    return snapshot;
}

void CaptureStatus::publish(const Snapshot& snapshot)
{
    QMetaObject::invokeMethod(this, [this, snapshot] {
        m_snapshot = snapshot;
        emit changed();
    }, Qt::QueuedConnection);
}

void CaptureStatus::recordPoll(int newCaptures)
{
    const QDateTime at = m_clock.now();
    QMetaObject::invokeMethod(this, [this, at, newCaptures] {
        m_lastPoll = at;
        if (newCaptures > 0)
            m_lastNewCapture = at;
        emit changed();
    }, Qt::QueuedConnection);
}

void CaptureStatus::updateAccess(const CaptureAccess::State& state)
{
    QMetaObject::invokeMethod(this, [this, state] {
        if (m_access == state)
            return;
        m_access = state;
        emit changed();
    }, Qt::QueuedConnection);
}

}  // namespace harkwell
