#pragma once
// The recorder's controller: owns the recording under way (its engine, writer, work folder and
// id), publishes what the menu, the menu-bar label and the recorder panel show, and carries out
// the user's operations (start, pause, resume, change of source or microphone, stop and send,
// discard) under guards for write failure, disk space, battery, silence, sleep and quit. It also
// hands finished recordings to the capture pipeline and offers unfinished ones again. Main thread
// only; no operation throws: failures become the failed state or a warning.

#include "audio/RecordingClock.h"
#include "audio/RecordingMeters.h"
#include "audio/SegmentFile.h"
#include "foundation/RecordingTypes.h"
#include "pipeline/RecordingSubmitOutcome.h"
#include "recording/RecordingRecovery.h"
#include "recording/RecordingWarning.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <expected>
#include <functional>
#include <memory>
#include <optional>

namespace harkwell {

class AudioProcessCatalog;
class Clock;
class DiskSpace;
class Notifications;
class PowerManagement;
class RecorderHAL;
class RecordingEngine;
class RecordingWriter;
class Settings;

class RecordingSession final : public QObject {
    Q_OBJECT
public:
    using SubmitRecording = std::function<QCoro::Task<RecordingSubmitOutcome>(QList<QUrl>, RecordingSidecar)>;

    struct Services {
        Settings* settings = nullptr;
        Clock* clock = nullptr;
        RecorderHAL* hardware = nullptr;  // none: this system cannot record
        PowerManagement* power = nullptr;
        DiskSpace* disk = nullptr;
        Notifications* notifications = nullptr;  // none: the process's notification centre
        bool hasBundleIdentifier = true;
        SubmitRecording submitRecording;  // the capture pipeline's hand-over
        std::function<void(const QString& id, const QString& message)> recordingNotSent;
        SegmentFileFactory segmentFiles;  // none: real segment files
    };

    static constexpr double kGuardDelay = 6.0;
    static constexpr double kConsentMenuSeconds = 60.0;
    static constexpr float kAutoStopFloor = 0.001f;
    static constexpr float kHeardFloor = RecordingRecovery::kHeardFloor;
    static constexpr qint64 kImportantUsageFloor = 1'073'741'824;
    static constexpr qint64 kAvailableFloor = 268'435'456;
    static constexpr char kDefaultConsentText[] = "Recording. Remember to tell the others you are recording.";
    static constexpr char kMicrophoneAccessWarning[] =
        "Microphone access is off, so only the system audio is recorded. Allow harkwell under Privacy & Security > "
        "Microphone.";

    explicit RecordingSession(Services services, QObject* parent = nullptr);
    ~RecordingSession() override;

    // The process's recorder, over the hardware given to useSharedHardware() (none: recording is
    // not available), with the shared settings, pipeline and notifier; it ends a recording kept
    // for recovery when the application quits.
    static RecordingSession& shared();
    // Before the first use of shared().
    static void useSharedHardware(RecorderHAL* hardware);

    bool isSupported() const { return m_services.hardware != nullptr; }

    // Published; changed() follows every change of any of them, stateChanged() of the state.
    const RecordingState& state() const { return m_state; }
    const RecordingOptions& options() const { return m_options; }
    const std::optional<QString>& warning() const { return m_warning; }
    const QList<RecordingWarning>& warnings() const { return m_warnings; }
    const std::optional<QString>& lastResult() const { return m_lastResult; }
    const QList<RecordingSidecar>& pendingRecovery() const { return m_pendingRecovery; }
    const QSet<QString>& recoveriesInFlight() const { return m_recoveriesInFlight; }
    AudioOutputKind outputKind() const { return m_outputKind; }
    // The output could not tell its kind and is the microphone's own headset.
    bool outputIsHeadset() const { return m_outputIsHeadset; }
    bool echoCancellationActive() const { return m_echoCancellationActive; }
    const std::optional<QString>& consentReminder() const { return m_consentReminder; }
    bool consentNotified() const { return m_consentNotified; }

    RecordingLevels levels() const { return m_levels; }
    RecordingMeters& meters() { return m_meters; }
    RecordingClock& elapsedClock() { return m_elapsedClock; }
    double elapsed() const { return m_elapsed; }
    const std::optional<QString>& currentId() const { return m_currentId; }
    bool isActive() const { return m_state.isActive(); }
    std::optional<QString> visibleConsentReminder() const;
    // The apps the audio system lists now (empty when recording is not available).
    QList<AudioApp> audioApps();

    // The user's operations.
    QCoro::Task<> start(RecordingOptions options);
    QCoro::Task<> stopAndSend();
    void discard();
    void pause();
    void resume();
    QCoro::Task<> change(RecordingOptions options);

    // Unfinished recordings.
    void launchCheck();
    QCoro::Task<> recoverSend(QString id);
    void recoverDiscard(const QString& id);

    // The echo decision again, after the settings changed while a recording is active.
    void settingsChanged();
    // The application is quitting: a running recording is made durable and kept for recovery.
    void closeForTermination();

signals:
    void changed();
    void stateChanged(const harkwell::RecordingState& state);

private:
    class NotInVault;

    // Published fields.
    void setState(RecordingState state);
    void setOptions(const RecordingOptions& options);
    void setLastResult(std::optional<QString> text);
    void clearWarnings();
    void publishMeters();
    void setElapsed(double seconds);

    // Start and its parts.
    QString uniqueId(const QDateTime& now) const;
    QCoro::Task<bool> microphoneGranted(bool requestIfUndetermined);
    void installEngineCallbacks(RecordingEngine& engine);
    RecordingSidecar::LevelsSummary levelSummary() const;
    void endEarly();

    // Guards, clock and consent reminder.
    void startClock();
    void stopClock();
    void tick();
    bool checkWriteFailure();
    bool checkDiskFloor();
    void checkPower();
    bool isOnBattery();
    void checkSilentCapture(const QDateTime& now);
    bool micSideSilent(const RecordingSidecar& live) const;
    static bool outputCountsAsSpeakers(const RecordingEngine& engine);
    void recordLostAudio();
    bool sourceIsPlaying();
    void checkAutoStop(const QDateTime& now);
    void showConsentReminder();
    void postNotification(const QString& id, const QString& title, const QString& body);
    Notifications& notifications() const;

    // Events and the echo decision.
    void willSleep();
    void didWake();
    void receive(const RecordingLevels& levels);
    void formatChanged(double sampleRate, const std::optional<QString>& micName);
    void engineFailed(const QString& message);
    void applyEchoCancellation(bool cutSegment);
    bool echoCancellationWanted(const RecordingEngine& engine) const;
    void stampLastSegment();
    void addWarning(const QString& text, RecordingWarning::Kind kind);
    void removeWarnings(RecordingWarning::Kind kind);
    void fail(const QString& message, bool keepFolder, const QString& id);
    void holdSleepAssertion();
    void releaseSleepAssertion();
    void bankRunningTime();
    double referenceDelay() const;
    QString echoSetting() const;

    // The hand-over.
    QCoro::Task<std::expected<QString, QString>> encodeAndSubmit(RecordingSidecar sidecar);
    QString withNotes(const QString& line) const;
    void removeWorkFolder(const QString& id);
    bool vaultHasParts(const RecordingSubmitOutcome& outcome, const QList<std::optional<qint64>>& sizes) const;
    void addToRecovery(const RecordingSidecar& sidecar);

    static void log(const QString& message);
    QString idText() const;

    Services m_services;
    std::unique_ptr<AudioProcessCatalog> m_catalog;

    RecordingState m_state;
    quint64 m_startAttempt = 0;  // which start() is the current one
    RecordingLevels m_levels;
    RecordingMeters m_meters;
    RecordingClock m_elapsedClock;
    double m_elapsed = 0;
    RecordingOptions m_options;
    std::optional<QString> m_warning;
    QList<RecordingWarning> m_warnings;
    std::optional<QString> m_lastResult;
    QList<RecordingSidecar> m_pendingRecovery;
    QSet<QString> m_recoveriesInFlight;
    AudioOutputKind m_outputKind = AudioOutputKind::Unknown;
    bool m_outputIsHeadset = false;
    bool m_echoCancellationActive = false;
    float m_cleanMicPeak = 0;
    std::optional<QString> m_consentReminder;
    bool m_consentNotified = false;

    std::unique_ptr<RecordingEngine> m_engine;
    std::unique_ptr<RecordingWriter> m_writer;
    std::optional<QString> m_currentId;
    bool m_hasSleepAssertion = false;
    quint64 m_clockGeneration = 0;  // a running clock loop ends when this moves on
    bool m_clockRunning = false;
    double m_bankedElapsed = 0;
    std::optional<QDateTime> m_runningSince;
    bool m_systemHeardSound = false;
    bool m_micHeardSound = false;
    // Whether this recording holds microphone sound at all: turning the microphone off, or on
    // again, resets the guard's flag but not what is already in the segments.
    bool m_micEverHeard = false;
    double m_micOnSince = 0;  // m_elapsed when the microphone last came on
    double m_lostRecorded = 0;  // the engine's lost seconds last written into recording.json
    bool m_systemGuardWarned = false;
    bool m_micGuardWarned = false;
    QDateTime m_lastGuardCheck;  // invalid: the distant past
    QDateTime m_lastSoundAt;
    QDateTime m_lastDiskCheck;  // invalid: the distant past
    float m_levelPeakMic = 0;
    float m_levelPeakSystem = 0;
    double m_levelSquaresMic = 0;
    double m_levelSquaresSystem = 0;
    qint64 m_levelTicks = 0;
    std::optional<QDateTime> m_sleptAt;
    bool m_batteryWarned = false;
    std::optional<QString> m_pendingSegmentReason;
};

}  // namespace harkwell
