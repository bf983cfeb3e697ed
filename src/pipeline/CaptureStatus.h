#pragma once
// How the captures are doing, for the menu: the inbox notes counted by job status, the notes made
// today and the newest one, counted afresh every 30 s on the "harkwell.capture.status" queue; and
// what the capture coordinator last reported (its last poll, the last poll that found audio, the
// Voice Memos folder's access). Published on the main thread; every assignment emits changed().

#include "capture/CaptureAccess.h"
#include "platform/clock/Clock.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

namespace harkwell {

class FileSystem;
class SerialQueue;
class Settings;

class CaptureStatus final : public QObject {
    Q_OBJECT
public:
    struct Snapshot {
        int pending = 0;
        int processing = 0;
        int done = 0;
        int failed = 0;
        int totalToday = 0;
        std::optional<QString> mostRecentTitle;
        std::optional<QString> mostRecentId;

        friend bool operator==(const Snapshot&, const Snapshot&) = default;
    };

    static constexpr std::chrono::seconds kFirstCount{1};
    static constexpr std::chrono::seconds kInterval{30};

    // Made on the main thread (its values are published there).
    CaptureStatus(Settings& settings, Clock& clock, FileSystem& files, QObject* parent = nullptr);
    ~CaptureStatus() override;

    static CaptureStatus& shared();

    // Starts counting 1 s from now and every 30 s after; called again, starts over.
    void start();
    // From any thread: the coordinator finished a tick that found this many new captures.
    void recordPoll(int newCaptures);
    // From any thread: the Voice Memos folder's probed access.
    void updateAccess(const CaptureAccess::State& state);

    // Main thread.
    const Snapshot& snapshot() const { return m_snapshot; }
    const std::optional<CaptureAccess::State>& access() const { return m_access; }
    const std::optional<QDateTime>& lastPoll() const { return m_lastPoll; }
    const std::optional<QDateTime>& lastNewCapture() const { return m_lastNewCapture; }

    // The counts of one inbox folder at `now`; all zero when the folder cannot be listed.
    static Snapshot count(const QString& inboxFolder, const QDateTime& now, FileSystem& files);

signals:
    void changed();

private:
    QCoro::Task<> runTimer(quint64 generation);
    void refreshLocked();
    void publish(const Snapshot& snapshot);

    Settings& m_settings;
    Clock& m_clock;
    FileSystem& m_files;

    Snapshot m_snapshot;
    std::optional<CaptureAccess::State> m_access;
    std::optional<QDateTime> m_lastPoll;
    std::optional<QDateTime> m_lastNewCapture;

    // A restart bumps the generation; a timer loop of an older one ends at its next wake.
    std::atomic<quint64> m_timerGeneration{0};
    std::unique_ptr<SerialQueue> m_queue;
};

}  // namespace harkwell
