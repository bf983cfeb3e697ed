#pragma once
// The capture graph of one recording: a process tap on the system's audio (all of it, or one
// app's) and, optionally, a microphone, joined in one private aggregate device whose IO callback
// fills the ring the writer drains. It publishes levels every 100 ms, watches the devices around
// it and rebuilds itself while the recording goes on, and keeps the facts about the sound output
// that the session's echo decision needs. Control runs on the main thread; only the IO callback
// runs elsewhere, on the hardware layer's "harkwell.recorder.io" thread.

#include "audio/AudioRingBuffer.h"
#include "audio/IOLayout.h"
#include "audio/MeterState.h"
#include "foundation/RecordingTypes.h"
#include "platform/audiohal/RecorderHAL.h"
#include "platform/clock/Clock.h"

#include <QDateTime>
#include <QObject>

#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <optional>

namespace harkwell {

class AudioProcessCatalog;

class RecordingEngine final : public QObject {
    Q_OBJECT
public:
    using ChannelPick = harkwell::ChannelPick;
    using IOLayout = harkwell::IOLayout;
    using MeterState = harkwell::MeterState;

    enum class Phase { Idle, Running, Stopped };

    // Why the engine could not start or carry on, as the user reads it. `status` is the hardware
    // layer's code when one of its calls failed.
    struct EngineError {
        QString message;
        std::optional<HalStatus> status;
        static EngineError from(const RecorderHAL::Failure& failure) { return {failure.text(), failure.status}; }
        // The message in plain words where the status has some; the message itself stays for the log.
        QString userText() const
        {
            if (status)
                if (auto plain = RecorderHAL::plainWords(*status))
                    return *plain;
            return message;
        }
    };

    static constexpr int64_t kRingFrames = 524'288;
    static constexpr int64_t kScratchSamples = 8'192;
    static constexpr std::chrono::milliseconds kLevelInterval{100};
    static constexpr std::chrono::milliseconds kDeviceCheckDelay{750};
    // After a restart notice: notices within kRestartSettle are one restart; then the default
    // output is looked for every kRestartPoll, for up to kRestartWait, before rebuilding.
    static constexpr std::chrono::milliseconds kRestartSettle{500};
    static constexpr std::chrono::milliseconds kRestartPoll{250};
    static constexpr std::chrono::milliseconds kRestartWait{30'000};
    static constexpr std::chrono::milliseconds kProcessRefreshDelay{500};
    static constexpr std::chrono::milliseconds kWakeCheckDelay{2500};
    static constexpr int64_t kRebuildAttempts = 4;
    // Above this the speakers play too late for the echo canceller to follow.
    static constexpr double kEchoLatencyLimit = 0.5;

    RecordingEngine(RecordingOptions options, RecorderHAL& hal, Clock& clock = Clock::system(),
                    QObject* parent = nullptr);
    ~RecordingEngine() override;

    // Builds and starts the graph. Does nothing while running; fails once stopped.
    std::expected<void, EngineError> start();
    // Releases everything; safe in any phase and more than once.
    void stop();
    // Applies a change of source or microphone; rebuilds while running.
    void reconfigure(const RecordingOptions& options);
    // Checks a moment later that the IO still runs after the machine woke, and rebuilds if not.
    void verifyIOAfterWake();

    // Called on the main thread.
    std::function<void(const RecordingLevels&)> onLevels;
    std::function<void(double sampleRate, const std::optional<QString>& microphoneName)> onFormatChange;
    std::function<void(const QString& message)> onError;
    std::function<void(AudioOutputKind kind)> onOutputKindChange;

    Phase phase() const { return m_phase; }
    const RecordingOptions& options() const { return m_options; }
    AudioOutputKind outputKind() const { return m_outputKind; }
    double outputLatency() const { return m_outputLatency; }
    bool outputIsAirPlay() const { return m_outputIsAirPlay; }
    // Whether the output and the microphone are one device (a headset), as far as can be told.
    bool outputSharesMicrophone() const { return m_outputSharesMicrophone; }
    // Not AirPlay and at most kEchoLatencyLimit late.
    bool outputIsEchoUsable() const { return !m_outputIsAirPlay && m_outputLatency <= kEchoLatencyLimit; }
    double sampleRate() const { return m_sampleRate; }
    // Audio the server never delivered (skipped cycles), recorded as silence; counted at each
    // level tick, on the main thread.
    double lostSeconds() const;
    std::optional<QString> microphoneName() const { return m_microphoneName; }
    const std::shared_ptr<AudioRingBuffer>& ring() const { return m_ring; }
    // The session stores `paused` here; the IO callback reads it.
    MeterState& meter() { return *m_meter; }

    static AudioOutputKind outputKind(RecorderHAL& hal, AudioObjectId device);
    // Seconds from the tap to the speaker; none when the device's rate cannot be read.
    static std::optional<double> outputLatency(RecorderHAL& hal, AudioObjectId device);

private:
    struct Tap {
        AudioObjectId id = RecorderHAL::kNoObject;
        RecorderHAL::TapDescription description;
        RecorderHAL::TapFormat format;
    };
    struct ListenerRegistration {
        AudioObjectId object = RecorderHAL::kNoObject;
        AudioProperty property{};
        RecorderHAL::ListenerId id = 0;
    };
    struct Graph {
        quint64 serial = 0;  // tells a rebuilt graph from the one a late notice was meant for
        AudioObjectId outputDeviceId = RecorderHAL::kNoObject;
        QString outputUid;
        bool outputInAggregate = true;
        bool mismatchHandled = false;
        std::optional<AudioObjectId> micDeviceId;
        std::optional<QString> micUid;
        std::optional<QString> micName;
        AudioObjectId aggregateId = RecorderHAL::kNoObject;
        QString aggregateUid;
        RecorderHAL::IOProcId ioProcId = 0;
        bool isStarted = false;
        double sampleRate = 48000.0;
        IOLayout layout;
        std::optional<ListenerRegistration> rateListener;
        std::optional<ListenerRegistration> dataSourceListener;
    };
    struct Microphone {
        AudioObjectId id = RecorderHAL::kNoObject;
        QString uid;
    };

    // Start and stop.
    std::expected<RecorderHAL::TapDescription, EngineError> makeTapDescription();
    std::expected<Tap, EngineError> makeTap();
    std::expected<void, EngineError> assemble(Graph& graph, const Tap& tap);
    std::optional<Microphone> resolveMicrophone(bool logFallbacks);
    std::expected<IOLayout, EngineError> resolveLayout(const Graph& graph, const Tap& tap);
    std::expected<void, EngineError> startIO(Graph& graph);
    void teardown(Graph& graph);
    void destroyTap();
    void startLevelTimer();
    bool levelTick(quint64 generation);
    void publishLevels();

    // Watching and rebuilding.
    void installSystemListeners();
    void removeSystemListeners();
    std::optional<ListenerRegistration> addListener(AudioObjectId object, AudioProperty property, AudioScope scope,
                                                    std::function<void()> handler);
    void removeListener(const ListenerRegistration& registration);
    void scheduleDeviceCheck(const QString& reason, std::chrono::milliseconds after, bool force);
    void checkDevices(const QString& reason, bool force);
    void rebuild(const QString& reason);
    void serviceRestarted();
    void awaitRestartedService(quint64 generation);
    void scheduleProcessRefresh();
    void refreshTappedProcesses();
    void aggregateRateChanged(quint64 graphSerial);
    void outputDataSourceChanged(quint64 graphSerial);
    void announceFormat(const Graph& graph);
    void readOutputDelay(AudioObjectId device);
    void limitStreamUsage(const Graph& graph);
    void setStreamUsage(const Graph& graph, AudioScope scope, const QList<bool>& streamIsOn);

    // Helpers.
    void after(std::chrono::milliseconds delay, std::function<void()> work);
    void fail(const QString& message);
    void logIfFailed(const char* operation, HalStatus status);
    QString sourceLabel() const;
    QString deviceName(AudioObjectId device, const QString& fallback);
    bool isCurrent(quint64 graphSerial) const { return m_graph && m_graph->serial == graphSerial; }
    static void log(const QString& message);

    RecorderHAL& m_hal;
    Clock& m_clock;
    std::unique_ptr<AudioProcessCatalog> m_catalog;

    AudioOutputKind m_outputKind = AudioOutputKind::Unknown;
    double m_outputLatency = 0;
    bool m_outputIsAirPlay = false;
    bool m_outputSharesMicrophone = false;
    double m_sampleRate = 48000.0;
    std::optional<QString> m_microphoneName;
    std::shared_ptr<AudioRingBuffer> m_ring;
    RecordingOptions m_options;
    Phase m_phase = Phase::Idle;
    std::optional<Tap> m_tap;
    std::unique_ptr<Graph> m_graph;
    quint64 m_graphSerial = 0;
    QList<ListenerRegistration> m_systemListeners;
    // A pending item runs only while its generation is current; bumping it cancels the item.
    quint64 m_levelTimerGeneration = 0;
    quint64 m_deviceCheckGeneration = 0;
    bool m_pendingDeviceCheck = false;
    quint64 m_processRefreshGeneration = 0;
    bool m_pendingProcessRefresh = false;
    int64_t m_rebuildFailures = 0;
    std::optional<QDateTime> m_restartSince;  // set while a restarted service is awaited
    quint64 m_restartGeneration = 0;
    int64_t m_lastCallbackCount = 0;
    int64_t m_lastLoggedDrops = 0;
    QDateTime m_lastDropLog;  // null: never
    int64_t m_lastCountedLost = 0;
    int64_t m_lastLoggedLost = 0;
    QDateTime m_lastLostLog;  // null: never
    double m_lostSeconds = 0;
    int64_t m_mismatchRebuilds = 0;
    int64_t m_cleanTicks = 0;
    bool m_relaxLayoutCheck = false;
    // Shared with the IO callback; they live as long as the engine, across rebuilds.
    std::unique_ptr<MeterState> m_meter;
    std::unique_ptr<float[]> m_scratch;
};

}  // namespace harkwell
