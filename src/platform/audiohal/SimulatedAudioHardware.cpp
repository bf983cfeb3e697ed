#include "platform/audiohal/SimulatedAudioHardware.h"

#include "platform/queue/SerialQueue.h"

#include <QFile>
#include <QPointer>

#include <cmath>
#include <numbers>
#include <utility>

namespace harkwell {

namespace {

// Output streams are objects of their own; their ids carry the device they belong to.
constexpr AudioObjectId kStreamFlag = 0x8000'0000u;
AudioObjectId streamId(AudioObjectId device, int index) { return kStreamFlag | (device << 8) | AudioObjectId(index); }
AudioObjectId streamDevice(AudioObjectId stream) { return (stream & ~kStreamFlag) >> 8; }

QString currentThreadName()
{
    QFile comm(QStringLiteral("/proc/thread-self/comm"));
    return comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readAll()).trimmed() : QString();
}

}  // namespace

float SimulatedAudioHardware::Tone::sample(qint64 frame, double sampleRate) const
{
    if (amplitude == 0 || sampleRate <= 0)
        return 0;
    const double cycles = std::fmod(frequency * double(frame) / sampleRate, 1.0);
    return amplitude * float(std::sin(2 * std::numbers::pi * cycles));
}

SimulatedAudioHardware::SimulatedAudioHardware()
    : m_io(std::make_unique<SerialQueue>(QString::fromLatin1(kIOThreadName))), m_context(std::make_unique<QObject>())
{
}

SimulatedAudioHardware::~SimulatedAudioHardware() = default;

// ---- the world --------------------------------------------------------------------------------

AudioObjectId SimulatedAudioHardware::addDevice(const Device& device)
{
    const AudioObjectId id = nextId();
    m_devices.insert(id, device);
    fire(kSystemObject, AudioProperty::Devices);
    return id;
}

void SimulatedAudioHardware::removeDevice(const QString& uid)
{
    const auto id = object(uid);
    if (!id || !m_devices.contains(*id))
        return;
    m_devices.remove(*id);
    if (m_defaultInput == *id)
        m_defaultInput = kNoObject;
    if (m_defaultOutput == *id)
        m_defaultOutput = kNoObject;
    fire(kSystemObject, AudioProperty::Devices);
}

void SimulatedAudioHardware::setDefaultInput(const QString& uid)
{
    m_defaultInput = uid.isEmpty() ? kNoObject : object(uid).value_or(kNoObject);
    fire(kSystemObject, AudioProperty::DefaultInputDevice);
}

void SimulatedAudioHardware::setDefaultOutput(const QString& uid)
{
    m_defaultOutput = uid.isEmpty() ? kNoObject : object(uid).value_or(kNoObject);
    fire(kSystemObject, AudioProperty::DefaultOutputDevice);
}

void SimulatedAudioHardware::setNominalRate(const QString& uid, double sampleRate)
{
    const auto id = object(uid);
    if (!id || !m_devices.contains(*id))
        return;
    m_devices[*id].sampleRate = sampleRate;
    fire(*id, AudioProperty::NominalSampleRate);
    for (auto it = m_aggregates.cbegin(); it != m_aggregates.cend(); ++it) {
        if (it->description.clockDeviceUid == uid
            || (!it->description.clockDeviceUid && !it->description.subDevices.isEmpty()
                && it->description.subDevices.first().uid == uid))
            fire(it.key(), AudioProperty::NominalSampleRate);
    }
}

void SimulatedAudioHardware::setDataSource(const QString& uid, quint32 dataSource)
{
    if (const auto id = object(uid); id && m_devices.contains(*id)) {
        m_devices[*id].dataSource = dataSource;
        fire(*id, AudioProperty::DataSource, AudioScope::Output);
    }
}

void SimulatedAudioHardware::setTransport(const QString& uid, quint32 transport)
{
    if (const auto id = object(uid); id && m_devices.contains(*id))
        m_devices[*id].transport = transport;
}

void SimulatedAudioHardware::setName(const QString& uid, const QString& name)
{
    if (const auto id = object(uid); id && m_devices.contains(*id))
        m_devices[*id].name = name;
}

AudioObjectId SimulatedAudioHardware::addProcess(const Process& process)
{
    const AudioObjectId id = nextId();
    m_processes.insert(id, process);
    fire(kSystemObject, AudioProperty::ProcessObjectList);
    return id;
}

void SimulatedAudioHardware::removeProcess(AudioObjectId process)
{
    if (m_processes.remove(process) > 0)
        fire(kSystemObject, AudioProperty::ProcessObjectList);
}

void SimulatedAudioHardware::setPlaying(AudioObjectId process, bool playing)
{
    if (m_processes.contains(process)) {
        m_processes[process].playing = playing;
        fire(process, AudioProperty::ProcessIsRunningOutput);
    }
}

void SimulatedAudioHardware::addRunningApplication(const RunningApplication& application)
{
    m_applications.append(application);
}

void SimulatedAudioHardware::setExecutablePath(qint64 pid, const QString& path) { m_executablePaths.insert(pid, path); }

void SimulatedAudioHardware::setProcessName(qint64 pid, const QString& name) { m_processNames.insert(pid, name); }

void SimulatedAudioHardware::addBundle(const QString& path, const Bundle& bundle) { m_bundles.insert(path, bundle); }

void SimulatedAudioHardware::restartService()
{
    for (IOProc& proc : m_procs)
        proc.started = false;
    m_io->sync([] {});
    fire(kSystemObject, AudioProperty::ServiceRestarted);
}

// ---- faults -----------------------------------------------------------------------------------

void SimulatedAudioHardware::failCall(Call call, HalStatus status, int times)
{
    for (int i = 0; i < times; ++i)
        m_failures[call].append(status);
}

void SimulatedAudioHardware::failRead(AudioObjectId object, AudioProperty property, HalStatus status)
{
    m_readFailures.insert({object, property}, status);
}

void SimulatedAudioHardware::clearReadFailure(AudioObjectId object, AudioProperty property)
{
    m_readFailures.remove({object, property});
}

void SimulatedAudioHardware::setAggregateInputs(std::optional<QList<int>> channels)
{
    m_aggregateInputs = std::move(channels);
}

void SimulatedAudioHardware::setDeliveredBuffers(std::optional<QList<int>> channels)
{
    m_deliveredBuffers = std::move(channels);
}

void SimulatedAudioHardware::setTapFormat(std::optional<TapFormat> format) { m_tapFormat = format; }

HalStatus SimulatedAudioHardware::takeFailure(Call call)
{
    auto it = m_failures.find(call);
    if (it == m_failures.end() || it->isEmpty())
        return 0;
    return it->takeFirst();
}

std::optional<HalStatus> SimulatedAudioHardware::readFailure(AudioObjectId object, AudioProperty property) const
{
    const auto it = m_readFailures.constFind({object, property});
    return it == m_readFailures.cend() ? std::nullopt : std::optional(*it);
}

void SimulatedAudioHardware::fire(AudioObjectId object, AudioProperty property, std::optional<AudioScope> scope)
{
    for (auto it = m_listeners.cbegin(); it != m_listeners.cend(); ++it) {
        if (it->object != object || it->property != property || (scope && it->scope != *scope))
            continue;
        // Delivered later, like the real notices; a listener removed in the meantime hears nothing.
        const ListenerId id = it.key();
        QMetaObject::invokeMethod(
            m_context.get(),
            [this, id] {
                const auto listener = m_listeners.constFind(id);
                if (listener != m_listeners.cend()) {
                    const std::function<void()> handler = listener->handler;
                    handler();
                }
            },
            Qt::QueuedConnection);
    }
}

// ---- audio ------------------------------------------------------------------------------------

float SimulatedAudioHardware::tapSample(const TapDescription& tap, int channel, qint64 frame, double sampleRate) const
{
    float sum = 0;
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it) {
        if (!it->playing || tap.processes.contains(it.key()) == tap.exclusive)
            continue;
        sum += (channel == 0 ? it->left : it->right).sample(frame, sampleRate);
    }
    return sum;
}

float SimulatedAudioHardware::sourceSample(const ChannelSource& source, qint64 frame, double sampleRate) const
{
    if (const auto tap = m_taps.constFind(source.device); tap != m_taps.cend())
        return source.channel < 2 ? tapSample(tap->description, source.channel, frame, sampleRate) : 0.0f;
    const Device* real = device(source.device);
    if (!real || source.channel >= real->input.size())
        return 0;
    return real->input[source.channel].sample(frame, sampleRate);
}

int SimulatedAudioHardware::deliver(qint64 frames)
{
    struct Call {
        IOCallback callback;
        std::vector<std::vector<float>> storage;
        std::vector<Buffer> buffers;
    };
    std::vector<Call> calls;
    const qint64 lost = std::exchange(m_skipped, 0);
    m_position += lost;
    for (const IOProc& proc : m_procs) {
        const auto aggregate = m_aggregates.constFind(proc.device);
        if (!proc.started || aggregate == m_aggregates.cend())
            continue;
        const double rate = aggregateRate(*aggregate);
        const QList<int> shape = m_deliveredBuffers.value_or(aggregate->inputBuffers);
        Call call{proc.callback, {}, {}};
        for (qsizetype b = 0; b < shape.size(); ++b) {
            const int channels = shape[b];
            std::vector<float> samples(size_t(std::max(channels, 0) * frames), 0.0f);
            for (int c = 0; c < channels; ++c) {
                if (b >= aggregate->sources.size() || c >= aggregate->sources[b].size())
                    continue;
                for (qint64 f = 0; f < frames; ++f)
                    samples[size_t(f * channels + c)] = sourceSample(aggregate->sources[b][c], m_position + f, rate);
            }
            call.storage.push_back(std::move(samples));
        }
        for (qsizetype b = 0; b < shape.size(); ++b)
            call.buffers.push_back({shape[b], int64_t(call.storage[size_t(b)].size() * sizeof(float)),
                                    call.storage[size_t(b)].data(), lost});
        calls.push_back(std::move(call));
    }
    m_position += frames;
    if (calls.empty())
        return 0;
    QString threadName;
    m_io->sync([&] {
        threadName = currentThreadName();
        for (const Call& call : calls)
            call.callback(std::span<const Buffer>(call.buffers));
    });
    if (!m_ioThreadNames.contains(threadName))
        m_ioThreadNames.append(threadName);
    return int(calls.size());
}

// ---- inspection -------------------------------------------------------------------------------

std::optional<AudioObjectId> SimulatedAudioHardware::object(const QString& uid) const
{
    for (auto it = m_devices.cbegin(); it != m_devices.cend(); ++it)
        if (it->uid == uid)
            return it.key();
    for (auto it = m_aggregates.cbegin(); it != m_aggregates.cend(); ++it)
        if (it->description.uid == uid)
            return it.key();
    return std::nullopt;
}

QList<RecorderHAL::AggregateDescription> SimulatedAudioHardware::aggregates() const
{
    QList<AggregateDescription> list;
    for (const Aggregate& aggregate : m_aggregates)
        list.append(aggregate.description);
    return list;
}

QList<RecorderHAL::TapDescription> SimulatedAudioHardware::taps() const
{
    QList<TapDescription> list;
    for (const Tap& tap : m_taps)
        list.append(tap.description);
    return list;
}

int SimulatedAudioHardware::ioProcCount() const { return int(m_procs.size()); }

int SimulatedAudioHardware::startedCount() const
{
    return int(std::count_if(m_procs.cbegin(), m_procs.cend(), [](const IOProc& proc) { return proc.started; }));
}

int SimulatedAudioHardware::listenerCount(AudioObjectId object, AudioProperty property) const
{
    return int(std::count_if(m_listeners.cbegin(), m_listeners.cend(), [&](const Listener& listener) {
        return listener.object == object && listener.property == property;
    }));
}

std::optional<QList<bool>> SimulatedAudioHardware::streamUsage(AudioObjectId aggregate, AudioScope scope) const
{
    const auto it = m_aggregates.constFind(aggregate);
    if (it == m_aggregates.cend() || !it->usage.contains(scope))
        return std::nullopt;
    return it->usage.value(scope);
}

const SimulatedAudioHardware::Device* SimulatedAudioHardware::device(AudioObjectId id) const
{
    const auto it = m_devices.constFind(id);
    return it == m_devices.cend() ? nullptr : &*it;
}

double SimulatedAudioHardware::defaultOutputRate() const
{
    const Device* output = device(m_defaultOutput);
    return output ? output->sampleRate : 48000;
}

double SimulatedAudioHardware::aggregateRate(const Aggregate& aggregate) const
{
    QString clock = aggregate.description.clockDeviceUid.value_or(QString());
    if (clock.isEmpty() && !aggregate.description.subDevices.isEmpty())
        clock = aggregate.description.subDevices.first().uid;
    if (!clock.isEmpty())
        if (const auto id = object(clock))
            if (const Device* real = device(*id))
                return real->sampleRate;
    for (const SubDevice& entry : aggregate.description.taps)
        for (const Tap& tap : m_taps)
            if (tap.description.uuid == entry.uid)
                return tap.format.sampleRate;
    return 48000;
}

// ---- RecorderHAL: reads -----------------------------------------------------------------------

RecorderHAL::Result<quint32> SimulatedAudioHardware::readUInt32(AudioObjectId object, AudioProperty property,
                                                                AudioScope scope)
{
    if (const auto failure = readFailure(object, property))
        return std::unexpected(*failure);
    if (object == kSystemObject) {
        switch (property) {
        case AudioProperty::DefaultInputDevice: return m_defaultInput;
        case AudioProperty::DefaultOutputDevice: return m_defaultOutput;
        default: return std::unexpected(HalError::kUnknownProperty);
        }
    }
    if (object & kStreamFlag) {
        const Device* owner = device(streamDevice(object));
        if (!owner || property != AudioProperty::Latency)
            return std::unexpected(owner ? HalError::kUnknownProperty : HalError::kBadObject);
        return owner->streamLatencyFrames;
    }
    if (const auto process = m_processes.constFind(object); process != m_processes.cend()) {
        switch (property) {
        case AudioProperty::ProcessPid: return quint32(process->pid);
        case AudioProperty::ProcessIsRunningOutput: return quint32(process->playing ? 1 : 0);
        default: return std::unexpected(HalError::kUnknownProperty);
        }
    }
    if (m_aggregates.contains(object)) {
        switch (property) {
        case AudioProperty::IsAlive: return 1u;
        case AudioProperty::IsHidden: return 0u;
        case AudioProperty::TransportType: return fourCharCode("grup");
        default: return std::unexpected(HalError::kUnknownProperty);
        }
    }
    const Device* real = device(object);
    if (!real)
        return std::unexpected(HalError::kBadObject);
    switch (property) {
    case AudioProperty::IsHidden: return quint32(real->hidden ? 1 : 0);
    case AudioProperty::IsAlive: return 1u;
    case AudioProperty::TransportType: return real->transport;
    case AudioProperty::DataSource:
        if (scope != AudioScope::Output || !real->dataSource)
            return std::unexpected(HalError::kUnknownProperty);
        return *real->dataSource;
    case AudioProperty::Latency: return real->latencyFrames;
    case AudioProperty::SafetyOffset: return real->safetyOffsetFrames;
    case AudioProperty::BufferFrameSize: return real->bufferFrameSize;
    default: return std::unexpected(HalError::kUnknownProperty);
    }
}

RecorderHAL::Result<double> SimulatedAudioHardware::readFloat64(AudioObjectId object, AudioProperty property,
                                                                AudioScope)
{
    if (const auto failure = readFailure(object, property))
        return std::unexpected(*failure);
    if (property != AudioProperty::NominalSampleRate)
        return std::unexpected(HalError::kUnknownProperty);
    if (const auto aggregate = m_aggregates.constFind(object); aggregate != m_aggregates.cend())
        return aggregateRate(*aggregate);
    const Device* real = device(object);
    if (!real)
        return std::unexpected(HalError::kBadObject);
    return real->sampleRate;
}

RecorderHAL::Result<QString> SimulatedAudioHardware::readString(AudioObjectId object, AudioProperty property,
                                                                AudioScope)
{
    if (const auto failure = readFailure(object, property))
        return std::unexpected(*failure);
    if (const auto process = m_processes.constFind(object); process != m_processes.cend()) {
        if (property == AudioProperty::ProcessBundleId)
            return process->bundleId;
        return std::unexpected(HalError::kUnknownProperty);
    }
    if (const auto aggregate = m_aggregates.constFind(object); aggregate != m_aggregates.cend()) {
        switch (property) {
        case AudioProperty::DeviceUid: return aggregate->description.uid;
        case AudioProperty::Name: return aggregate->description.name;
        default: return std::unexpected(HalError::kUnknownProperty);
        }
    }
    const Device* real = device(object);
    if (!real)
        return std::unexpected(HalError::kBadObject);
    switch (property) {
    case AudioProperty::DeviceUid: return real->uid;
    case AudioProperty::ModelUid:
        if (real->modelUid.isEmpty())
            return std::unexpected(HalError::kUnknownProperty);
        return real->modelUid;
    case AudioProperty::Name:
        if (real->name.isEmpty())
            return std::unexpected(HalError::kUnknownProperty);
        return real->name;
    default: return std::unexpected(HalError::kUnknownProperty);
    }
}

RecorderHAL::Result<QList<AudioObjectId>> SimulatedAudioHardware::readObjectList(AudioObjectId object,
                                                                                AudioProperty property,
                                                                                AudioScope scope)
{
    if (const auto failure = readFailure(object, property))
        return std::unexpected(*failure);
    if (object == kSystemObject && property == AudioProperty::Devices) {
        QList<AudioObjectId> list = m_devices.keys();
        list.append(m_aggregates.keys());
        std::sort(list.begin(), list.end());
        return list;
    }
    if (object == kSystemObject && property == AudioProperty::ProcessObjectList)
        return m_processes.keys();
    if (property == AudioProperty::Streams && scope == AudioScope::Output) {
        QList<int> outputs;
        if (const Device* real = device(object))
            outputs = real->outputBuffers;
        else if (const auto aggregate = m_aggregates.constFind(object); aggregate != m_aggregates.cend())
            outputs = aggregate->outputBuffers;
        else
            return std::unexpected(HalError::kBadObject);
        QList<AudioObjectId> streams;
        for (qsizetype i = 0; i < outputs.size(); ++i)
            streams.append(streamId(object, int(i)));
        return streams;
    }
    return std::unexpected(HalError::kUnknownProperty);
}

RecorderHAL::Result<QList<int>> SimulatedAudioHardware::readStreamConfiguration(AudioObjectId device,
                                                                               AudioScope scope)
{
    if (const auto failure = readFailure(device, AudioProperty::StreamConfiguration))
        return std::unexpected(*failure);
    if (const auto aggregate = m_aggregates.constFind(device); aggregate != m_aggregates.cend()) {
        if (scope == AudioScope::Output)
            return aggregate->outputBuffers;
        return aggregate->reportedInputs.value_or(aggregate->inputBuffers);
    }
    const Device* real = this->device(device);
    if (!real)
        return std::unexpected(HalError::kBadObject);
    return scope == AudioScope::Output ? real->outputBuffers : real->inputBuffers;
}

RecorderHAL::Result<RecorderHAL::TapFormat> SimulatedAudioHardware::readTapFormat(AudioObjectId tap)
{
    if (const auto failure = readFailure(tap, AudioProperty::TapFormat))
        return std::unexpected(*failure);
    const auto it = m_taps.constFind(tap);
    if (it == m_taps.cend())
        return std::unexpected(HalError::kBadObject);
    return it->format;
}

RecorderHAL::Result<AudioObjectId> SimulatedAudioHardware::processObjectForPid(qint64 pid)
{
    if (const auto failure = readFailure(kSystemObject, AudioProperty::TranslatePidToProcessObject))
        return std::unexpected(*failure);
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it)
        if (it->pid == pid)
            return it.key();
    return kNoObject;
}

bool SimulatedAudioHardware::hasProperty(AudioObjectId object, AudioProperty property, AudioScope scope)
{
    if (property == AudioProperty::DataSource) {
        const Device* real = device(object);
        return real && scope == AudioScope::Output && real->dataSource.has_value();
    }
    return m_devices.contains(object) || m_aggregates.contains(object) || m_processes.contains(object)
           || m_taps.contains(object) || object == kSystemObject;
}

// ---- RecorderHAL: taps, aggregates, IO --------------------------------------------------------

RecorderHAL::Result<AudioObjectId> SimulatedAudioHardware::createProcessTap(const TapDescription& description)
{
    if (const HalStatus status = takeFailure(Call::CreateTap))
        return std::unexpected(status);
    TapFormat format = m_tapFormat.value_or(TapFormat{});
    if (!m_tapFormat)
        format.sampleRate = defaultOutputRate();
    const AudioObjectId id = nextId();
    m_taps.insert(id, Tap{description, format});
    return id;
}

HalStatus SimulatedAudioHardware::destroyProcessTap(AudioObjectId tap)
{
    if (const HalStatus status = takeFailure(Call::DestroyTap))
        return status;
    return m_taps.remove(tap) > 0 ? 0 : HalError::kBadObject;
}

HalStatus SimulatedAudioHardware::writeTapDescription(AudioObjectId tap, const TapDescription& description)
{
    if (const HalStatus status = takeFailure(Call::WriteTapDescription))
        return status;
    const auto it = m_taps.find(tap);
    if (it == m_taps.end())
        return HalError::kBadObject;
    it->description = description;
    return 0;
}

RecorderHAL::Result<AudioObjectId> SimulatedAudioHardware::createAggregateDevice(const AggregateDescription& description)
{
    if (const HalStatus status = takeFailure(Call::CreateAggregate))
        return std::unexpected(status);
    Aggregate aggregate;
    aggregate.description = description;
    aggregate.reportedInputs = m_aggregateInputs;
    for (const SubDevice& sub : description.subDevices) {
        const auto id = object(sub.uid);
        const Device* real = id ? device(*id) : nullptr;
        if (!real)
            continue;
        int flat = 0;
        for (int channels : real->inputBuffers) {
            QList<ChannelSource> sources;
            for (int c = 0; c < channels; ++c)
                sources.append({*id, flat++});
            aggregate.inputBuffers.append(channels);
            aggregate.sources.append(sources);
        }
        aggregate.outputBuffers.append(real->outputBuffers);
    }
    for (const SubDevice& entry : description.taps) {
        for (auto tap = m_taps.cbegin(); tap != m_taps.cend(); ++tap) {
            if (tap->description.uuid != entry.uid)
                continue;
            const int channels = int(tap->format.channels);
            if (tap->format.interleaved()) {
                QList<ChannelSource> sources;
                for (int c = 0; c < channels; ++c)
                    sources.append({tap.key(), c});
                aggregate.inputBuffers.append(channels);
                aggregate.sources.append(sources);
            } else {
                for (int c = 0; c < channels; ++c) {
                    aggregate.inputBuffers.append(1);
                    aggregate.sources.append({{tap.key(), c}});
                }
            }
        }
    }
    const AudioObjectId id = nextId();
    // Private aggregates are the recorder's own business: the device list's listeners hear nothing.
    m_aggregates.insert(id, aggregate);
    return id;
}

HalStatus SimulatedAudioHardware::destroyAggregateDevice(AudioObjectId device)
{
    if (const HalStatus status = takeFailure(Call::DestroyAggregate))
        return status;
    if (m_aggregates.remove(device) == 0)
        return HalError::kBadObject;
    for (auto it = m_procs.begin(); it != m_procs.end();)
        it = it->device == device ? m_procs.erase(it) : std::next(it);
    m_io->sync([] {});
    return 0;
}

RecorderHAL::Result<RecorderHAL::IOProcId> SimulatedAudioHardware::createIOProc(AudioObjectId device,
                                                                               IOCallback callback)
{
    if (const HalStatus status = takeFailure(Call::CreateIOProc))
        return std::unexpected(status);
    if (!m_aggregates.contains(device))
        return std::unexpected(HalError::kBadDevice);
    if (m_ioProcWithoutId)
        return IOProcId(0);
    const IOProcId id = m_nextProc++;
    m_procs.insert(id, IOProc{device, std::move(callback), false});
    return id;
}

HalStatus SimulatedAudioHardware::destroyIOProc(AudioObjectId device, IOProcId proc)
{
    if (const HalStatus status = takeFailure(Call::DestroyIOProc))
        return status;
    const auto it = m_procs.find(proc);
    if (it == m_procs.end() || it->device != device)
        return HalError::kBadObject;
    m_procs.erase(it);
    m_io->sync([] {});
    return 0;
}

HalStatus SimulatedAudioHardware::startDevice(AudioObjectId device, IOProcId proc)
{
    if (const HalStatus status = takeFailure(Call::StartDevice))
        return status;
    const auto it = m_procs.find(proc);
    if (it == m_procs.end() || it->device != device)
        return HalError::kBadObject;
    it->started = true;
    return 0;
}

HalStatus SimulatedAudioHardware::stopDevice(AudioObjectId device, IOProcId proc)
{
    if (const HalStatus status = takeFailure(Call::StopDevice))
        return status;
    const auto it = m_procs.find(proc);
    if (it == m_procs.end() || it->device != device)
        return HalError::kBadObject;
    it->started = false;
    m_io->sync([] {});
    return 0;
}

HalStatus SimulatedAudioHardware::setStreamUsage(AudioObjectId device, IOProcId proc, AudioScope scope,
                                                 const QList<bool>& streamIsOn)
{
    if (const HalStatus status = takeFailure(Call::SetStreamUsage))
        return status;
    const auto it = m_aggregates.find(device);
    if (it == m_aggregates.end() || !m_procs.contains(proc))
        return HalError::kBadObject;
    const qsizetype streams = scope == AudioScope::Output ? it->outputBuffers.size()
                                                          : it->reportedInputs.value_or(it->inputBuffers).size();
    if (streamIsOn.size() != streams)
        return HalError::kParameter;
    it->usage.insert(scope, streamIsOn);
    return 0;
}

RecorderHAL::Result<RecorderHAL::ListenerId> SimulatedAudioHardware::addListener(AudioObjectId object,
                                                                                AudioProperty property,
                                                                                AudioScope scope,
                                                                                std::function<void()> handler)
{
    if (const HalStatus status = takeFailure(Call::AddListener))
        return std::unexpected(status);
    const ListenerId id = m_nextListener++;
    m_listeners.insert(id, Listener{object, property, scope, std::move(handler)});
    return id;
}

HalStatus SimulatedAudioHardware::removeListener(ListenerId listener)
{
    if (const HalStatus status = takeFailure(Call::RemoveListener))
        return status;
    return m_listeners.remove(listener) > 0 ? 0 : HalError::kBadObject;
}

// ---- RecorderHAL: applications ----------------------------------------------------------------

QList<RecorderHAL::RunningApplication> SimulatedAudioHardware::runningApplications() { return m_applications; }

std::optional<QString> SimulatedAudioHardware::executablePath(qint64 pid)
{
    const auto it = m_executablePaths.constFind(pid);
    return it == m_executablePaths.cend() ? std::nullopt : std::optional(*it);
}

std::optional<QString> SimulatedAudioHardware::processName(qint64 pid)
{
    const auto it = m_processNames.constFind(pid);
    return it == m_processNames.cend() ? std::nullopt : std::optional(*it);
}

std::optional<RecorderHAL::Bundle> SimulatedAudioHardware::bundleAt(const QString& path)
{
    const auto it = m_bundles.constFind(path);
    return it == m_bundles.cend() ? std::nullopt : std::optional(*it);
}

}  // namespace harkwell
