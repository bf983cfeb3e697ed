#pragma once
// A virtual audio system for tests: devices and applications that play generated tones, process
// taps and aggregate devices that behave like the real ones, and faults on demand (a failing call,
// an unreadable property, a device that disappears, a default-device or sample-rate change, a
// restart of the audio service). Audio moves only when the test calls deliver(), which runs every
// started IO callback once on the "harkwell.recorder.io" thread and returns when it is done.
// Used from one thread, the one that made it; listeners are called there, queued.

#include "platform/audiohal/RecorderHAL.h"

#include <QHash>
#include <QMap>
#include <QObject>

#include <memory>
#include <vector>

namespace harkwell {

class SerialQueue;

class SimulatedAudioHardware final : public RecorderHAL {
public:
    static constexpr char kIOThreadName[] = "harkwell.recorder.io";

    // amplitude × sin(2π × frequency × frame ÷ rate): the same value for the same frame, whoever asks.
    struct Tone {
        double frequency = 0;
        float amplitude = 0;
        float sample(qint64 frame, double sampleRate) const;
    };

    struct Device {
        QString uid;
        QString name;  // empty: the name cannot be read
        QList<int> inputBuffers;   // channels per input buffer
        QList<int> outputBuffers;  // channels per output stream
        double sampleRate = 48000;
        quint32 transport = AudioTransport::kBuiltIn;
        std::optional<quint32> dataSource;  // output data source, when the device has one
        bool hidden = false;
        quint32 latencyFrames = 0;
        quint32 safetyOffsetFrames = 0;
        quint32 bufferFrameSize = 512;
        quint32 streamLatencyFrames = 0;
        QList<Tone> input;  // one per input channel, in order; channels without one are silent
        QString modelUid;   // empty: cannot be read
    };

    struct Process {
        qint64 pid = 0;
        QString bundleId;
        bool playing = false;
        Tone left;
        Tone right;
    };

    // The calls a test can make fail.
    enum class Call {
        CreateTap,
        DestroyTap,
        WriteTapDescription,
        CreateAggregate,
        DestroyAggregate,
        CreateIOProc,
        DestroyIOProc,
        StartDevice,
        StopDevice,
        SetStreamUsage,
        AddListener,
        RemoveListener,
    };

    SimulatedAudioHardware();
    ~SimulatedAudioHardware() override;

    // The world.
    AudioObjectId addDevice(const Device& device);
    // Gone from the device list; reads of it fail from now on. The device list's listeners fire.
    void removeDevice(const QString& uid);
    // An empty uid: no default. The property's listeners fire.
    void setDefaultInput(const QString& uid);
    void setDefaultOutput(const QString& uid);
    // The device's and the aggregates it clocks fire their rate listeners.
    void setNominalRate(const QString& uid, double sampleRate);
    void setDataSource(const QString& uid, quint32 dataSource);
    void setTransport(const QString& uid, quint32 transport);
    void setName(const QString& uid, const QString& name);
    AudioObjectId addProcess(const Process& process);
    void removeProcess(AudioObjectId process);
    void setPlaying(AudioObjectId process, bool playing);
    void addRunningApplication(const RunningApplication& application);
    void setExecutablePath(qint64 pid, const QString& path);
    void setProcessName(qint64 pid, const QString& name);
    void addBundle(const QString& path, const Bundle& bundle);
    // Every tap, aggregate and IO proc stops delivering; the service-restart listeners fire.
    void restartService();

    // Faults.
    void failCall(Call call, HalStatus status, int times = 1);
    // Until cleared; in every scope.
    void failRead(AudioObjectId object, AudioProperty property, HalStatus status);
    void clearReadFailure(AudioObjectId object, AudioProperty property);
    // What aggregates made from now on report as their input buffers (none: what they hold).
    void setAggregateInputs(std::optional<QList<int>> channels);
    // The buffer list deliver() hands over (none: the aggregate's own input buffers).
    void setDeliveredBuffers(std::optional<QList<int>> channels);
    // Tap formats from now on (none: stereo interleaved floats at the default output's rate).
    void setTapFormat(std::optional<TapFormat> format);
    // createIOProc succeeds without giving an id.
    void setIOProcWithoutId(bool on) { m_ioProcWithoutId = on; }

    // Runs every started IO proc once with `frames` frames; returns how many procs ran.
    int deliver(qint64 frames);
    // The graph skips `frames` frames of cycles: the next deliver() starts that much later and
    // reports them lost, as a data loop stalled under load does.
    void skipCycles(qint64 frames) { m_skipped += frames; }
    // The frame the next deliver() starts at; tones are sampled at it.
    qint64 position() const { return m_position; }

    // Inspection.
    std::optional<AudioObjectId> object(const QString& uid) const;
    QList<AggregateDescription> aggregates() const;
    QList<TapDescription> taps() const;
    int ioProcCount() const;
    int startedCount() const;
    int listenerCount() const { return int(m_listeners.size()); }
    int listenerCount(AudioObjectId object, AudioProperty property) const;
    // The last usage written for the aggregate's scope.
    std::optional<QList<bool>> streamUsage(AudioObjectId aggregate, AudioScope scope) const;
    // The thread names IO callbacks ran on.
    QStringList ioThreadNames() const { return m_ioThreadNames; }
    // The tap's stereo mix at a frame: the sum of the playing processes it captures.
    float tapSample(const TapDescription& tap, int channel, qint64 frame, double sampleRate) const;

    // RecorderHAL
    Result<quint32> readUInt32(AudioObjectId object, AudioProperty property, AudioScope scope) override;
    Result<double> readFloat64(AudioObjectId object, AudioProperty property, AudioScope scope) override;
    Result<QString> readString(AudioObjectId object, AudioProperty property, AudioScope scope) override;
    Result<QList<AudioObjectId>> readObjectList(AudioObjectId object, AudioProperty property, AudioScope scope) override;
    Result<QList<int>> readStreamConfiguration(AudioObjectId device, AudioScope scope) override;
    Result<TapFormat> readTapFormat(AudioObjectId tap) override;
    Result<AudioObjectId> processObjectForPid(qint64 pid) override;
    bool hasProperty(AudioObjectId object, AudioProperty property, AudioScope scope) override;
    Result<AudioObjectId> createProcessTap(const TapDescription& description) override;
    HalStatus destroyProcessTap(AudioObjectId tap) override;
    HalStatus writeTapDescription(AudioObjectId tap, const TapDescription& description) override;
    Result<AudioObjectId> createAggregateDevice(const AggregateDescription& description) override;
    HalStatus destroyAggregateDevice(AudioObjectId device) override;
    Result<IOProcId> createIOProc(AudioObjectId device, IOCallback callback) override;
    HalStatus destroyIOProc(AudioObjectId device, IOProcId proc) override;
    HalStatus startDevice(AudioObjectId device, IOProcId proc) override;
    HalStatus stopDevice(AudioObjectId device, IOProcId proc) override;
    HalStatus setStreamUsage(AudioObjectId device, IOProcId proc, AudioScope scope,
                             const QList<bool>& streamIsOn) override;
    Result<ListenerId> addListener(AudioObjectId object, AudioProperty property, AudioScope scope,
                                   std::function<void()> handler) override;
    HalStatus removeListener(ListenerId listener) override;
    QList<RunningApplication> runningApplications() override;
    std::optional<QString> executablePath(qint64 pid) override;
    std::optional<QString> processName(qint64 pid) override;
    std::optional<Bundle> bundleAt(const QString& path) override;

private:
    struct Tap {
        TapDescription description;
        TapFormat format;
    };
    // Where one input channel of an aggregate comes from.
    struct ChannelSource {
        AudioObjectId device = kNoObject;  // a real device, or a tap
        int channel = 0;                   // flat channel index within it
    };
    struct Aggregate {
        AggregateDescription description;
        QList<int> inputBuffers;
        QList<QList<ChannelSource>> sources;  // per input buffer, per channel
        QList<int> outputBuffers;
        std::optional<QList<int>> reportedInputs;
        QMap<AudioScope, QList<bool>> usage;
    };
    struct IOProc {
        AudioObjectId device = kNoObject;
        IOCallback callback;
        bool started = false;
    };
    struct Listener {
        AudioObjectId object = kNoObject;
        AudioProperty property{};
        AudioScope scope{};
        std::function<void()> handler;
    };

    HalStatus takeFailure(Call call);
    std::optional<HalStatus> readFailure(AudioObjectId object, AudioProperty property) const;
    void fire(AudioObjectId object, AudioProperty property, std::optional<AudioScope> scope = std::nullopt);
    AudioObjectId nextId() { return m_nextId++; }
    const Device* device(AudioObjectId id) const;
    double aggregateRate(const Aggregate& aggregate) const;
    double defaultOutputRate() const;
    float sourceSample(const ChannelSource& source, qint64 frame, double sampleRate) const;

    std::unique_ptr<SerialQueue> m_io;
    std::unique_ptr<QObject> m_context;  // listeners are called through its thread's event loop
    AudioObjectId m_nextId = 40;
    QMap<AudioObjectId, Device> m_devices;
    QMap<AudioObjectId, Process> m_processes;
    QMap<AudioObjectId, Tap> m_taps;
    QMap<AudioObjectId, Aggregate> m_aggregates;
    QMap<IOProcId, IOProc> m_procs;
    QMap<ListenerId, Listener> m_listeners;
    AudioObjectId m_defaultInput = kNoObject;
    AudioObjectId m_defaultOutput = kNoObject;
    QList<RunningApplication> m_applications;
    QHash<qint64, QString> m_executablePaths;
    QHash<qint64, QString> m_processNames;
    QHash<QString, Bundle> m_bundles;
    QMap<Call, QList<HalStatus>> m_failures;
    QMap<QPair<AudioObjectId, AudioProperty>, HalStatus> m_readFailures;
    std::optional<QList<int>> m_aggregateInputs;
    std::optional<QList<int>> m_deliveredBuffers;
    qint64 m_skipped = 0;
    std::optional<TapFormat> m_tapFormat;
    bool m_ioProcWithoutId = false;
    IOProcId m_nextProc = 1;
    ListenerId m_nextListener = 1;
    qint64 m_position = 0;
    QStringList m_ioThreadNames;
};

}  // namespace harkwell
