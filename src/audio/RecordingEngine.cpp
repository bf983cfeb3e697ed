#include "audio/RecordingEngine.h"

#include "audio/AudioProcessCatalog.h"
#include "audio/IORender.h"
#include "audio/InputBuffer.h"
#include "audio/RecorderDeviceNames.h"
#include "foundation/HarkwellLog.h"

#include <QPointer>
#include <QSet>
#include <QUuid>

#include <algorithm>
#include <array>
#include <cmath>

#include <qcoro/qcorotask.h>

namespace harkwell {

namespace {

using namespace std::chrono_literals;

constexpr auto kDropLogInterval = 5s;
constexpr int64_t kCleanTicksToForgive = 50;
constexpr int64_t kMismatchEpisodesBeforeRelaxing = 4;
// More input buffers than any aggregate the recorder builds; a longer list fails the layout check.
constexpr size_t kMaxInputBuffers = 64;

QString listText(const QList<int>& list)
{
    QStringList parts;
    for (int value : list)
        parts.append(QString::number(value));
    return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
}

int sum(const QList<int>& list)
{
    int total = 0;
    for (int value : list)
        total += value;
    return total;
}

QString ms(double seconds) { return QString::number(seconds * 1000.0, 'f', 0); }
QString hz(double rate) { return QString::number(rate, 'f', 0); }

QCoro::Task<> runAfter(Clock& clock, std::chrono::milliseconds delay, QPointer<QObject> owner,
                       std::function<void()> work)
{
    co_await clock.sleep(delay);
    if (owner)
        work();
}

QCoro::Task<> runEvery(Clock& clock, std::chrono::milliseconds interval, QPointer<QObject> owner,
                       std::function<bool()> tick)
{
    for (;;) {
        co_await clock.sleep(interval);
        if (!owner || !tick())
            co_return;
    }
}

// The first two channels of `count` buffers from `start`, walked buffer by buffer, channel by
// channel, never at or past `end`.
QList<ChannelPick> firstTwoChannels(const QList<int>& buffers, qsizetype start, qsizetype count, qsizetype end)
{
    QList<ChannelPick> picks;
    for (qsizetype b = start; b < start + count && b < end && picks.size() < 2; ++b)
        for (int c = 0; c < buffers[b] && picks.size() < 2; ++c)
            picks.append(ChannelPick{b, c, buffers[b]});
    return picks;
}

}  // namespace

RecordingEngine::RecordingEngine(RecordingOptions options, RecorderHAL& hal, Clock& clock, QObject* parent)
    : QObject(parent),
      m_hal(hal),
      m_clock(clock),
      m_catalog(std::make_unique<AudioProcessCatalog>(hal)),
      m_ring(std::make_shared<AudioRingBuffer>(kRingFrames, 2)),
      m_options(std::move(options)),
      m_meter(std::make_unique<MeterState>()),
      m_scratch(std::make_unique<float[]>(size_t(kScratchSamples)))
{
    static_assert(kScratchSamples >= IORender::kScratchSamples);
}

RecordingEngine::~RecordingEngine() { stop(); }

void RecordingEngine::log(const QString& message)
{
    HarkwellLog::log(QStringLiteral("[harkwell] recorder: ") + message);
}

void RecordingEngine::logIfFailed(const char* operation, HalStatus status)
{
    if (status != 0)
        log(QStringLiteral("%1 failed: %2").arg(QLatin1String(operation), RecorderHAL::describe(status)));
}

void RecordingEngine::fail(const QString& message)
{
    log(message);
    QMetaObject::invokeMethod(
        this,
        [this, message] {
            if (onError)
                onError(message);
        },
        Qt::QueuedConnection);
}

void RecordingEngine::after(std::chrono::milliseconds delay, std::function<void()> work)
{
    runAfter(m_clock, delay, QPointer<QObject>(this), std::move(work));
}

QString RecordingEngine::sourceLabel() const
{
    return m_options.source.isApp() ? m_options.source.name : QStringLiteral("All audio");
}

QString RecordingEngine::deviceName(AudioObjectId device, const QString& fallback)
{
    return m_hal.string(device, AudioProperty::Name).value_or(fallback);
}

// ---- start and stop ---------------------------------------------------------------------------

std::expected<void, RecordingEngine::EngineError> RecordingEngine::start()
{
    if (m_phase == Phase::Running)
        return {};
    if (m_phase == Phase::Stopped)
        return std::unexpected(EngineError{QStringLiteral("This recorder was already stopped; start a new recording."), {}});

    auto tap = makeTap();
    if (!tap)
        return std::unexpected(tap.error());
    auto graph = std::make_unique<Graph>();
    graph->serial = ++m_graphSerial;
    auto assembled = assemble(*graph, *tap);
    if (assembled)
        assembled = startIO(*graph);
    if (!assembled) {
        teardown(*graph);
        logIfFailed("AudioHardwareDestroyProcessTap", m_hal.destroyProcessTap(tap->id));
        return std::unexpected(assembled.error());
    }

    m_tap = std::move(*tap);
    m_graph = std::move(graph);
    m_sampleRate = m_graph->sampleRate;
    m_microphoneName = m_graph->micName;
    m_phase = Phase::Running;
    installSystemListeners();
    startLevelTimer();
    log(QStringLiteral("engine started (%1, %2 Hz, microphone %3)")
            .arg(sourceLabel(), hz(m_sampleRate), m_microphoneName.value_or(QStringLiteral("off"))));
    return {};
}

void RecordingEngine::stop()
{
    const Phase was = m_phase;
    m_phase = Phase::Stopped;
    ++m_levelTimerGeneration;
    ++m_deviceCheckGeneration;
    m_pendingDeviceCheck = false;
    ++m_processRefreshGeneration;
    m_pendingProcessRefresh = false;
    ++m_restartGeneration;
    m_restartSince.reset();
    removeSystemListeners();
    if (m_graph) {
        teardown(*m_graph);
        m_graph.reset();
    }
    destroyTap();
    if (was == Phase::Running)
        log(QStringLiteral("engine stopped"));
}

void RecordingEngine::destroyTap()
{
    if (!m_tap)
        return;
    logIfFailed("AudioHardwareDestroyProcessTap", m_hal.destroyProcessTap(m_tap->id));
    m_tap.reset();
}

std::expected<RecorderHAL::TapDescription, RecordingEngine::EngineError> RecordingEngine::makeTapDescription()
{
    RecorderHAL::TapDescription description;
    if (m_options.source.isApp()) {
        const QList<AudioObjectId> processes = m_catalog->processObjectIds(m_options.source.bundleId);
        if (processes.isEmpty()) {
            const QString& name = m_options.source.name;
            return std::unexpected(EngineError{
                name + QStringLiteral(" is not using audio right now. Start ") + name
                    + QStringLiteral(" first, or record All audio."),
                {}});
        }
        description.exclusive = false;
        description.processes = processes;
    } else {
        description.exclusive = true;
        if (const auto own = m_catalog->ownProcessObjectId())
            description.processes = {*own};
    }
    description.name = QString::fromLatin1(kRecorderTapName);
    description.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    description.isPrivate = true;
    description.muted = false;
    return description;
}

std::expected<RecordingEngine::Tap, RecordingEngine::EngineError> RecordingEngine::makeTap()
{
    auto description = makeTapDescription();
    if (!description)
        return std::unexpected(description.error());
    const auto id = m_hal.createProcessTap(*description);
    if (!id)
        return std::unexpected(EngineError::from(
            {QStringLiteral("Creating the system audio tap (AudioHardwareCreateProcessTap)"), id.error()}));
    const auto format = m_hal.readTapFormat(*id);
    if (!format) {
        logIfFailed("AudioHardwareDestroyProcessTap", m_hal.destroyProcessTap(*id));
        return std::unexpected(EngineError::from(RecorderHAL::readFailure(*id, AudioProperty::TapFormat, format.error())));
    }
    if (format->channels == 0) {
        logIfFailed("AudioHardwareDestroyProcessTap", m_hal.destroyProcessTap(*id));
        return std::unexpected(EngineError{QStringLiteral("The system audio tap reports no channels."), {}});
    }
    if (format->formatId != RecorderHAL::TapFormat::kLinearPcm
        || (format->formatFlags & RecorderHAL::TapFormat::kFlagIsFloat) == 0 || format->bitsPerChannel != 32)
        log(QStringLiteral("unexpected tap format (id %1, flags 0x%2, %3 bits)")
                .arg(format->formatId)
                .arg(format->formatFlags, 0, 16)
                .arg(format->bitsPerChannel));
    log(QStringLiteral("tap created (%1, %2 ch, %3 Hz, %4 %5 process(es))")
            .arg(sourceLabel())
            .arg(format->channels)
            .arg(hz(format->sampleRate), description->exclusive ? QStringLiteral("excluding") : QStringLiteral("including"))
            .arg(description->processes.size()));
    return Tap{*id, *description, *format};
}

std::optional<RecordingEngine::Microphone> RecordingEngine::resolveMicrophone(bool logFallbacks)
{
    if (m_options.microphoneUid) {
        const auto chosen = m_hal.deviceId(*m_options.microphoneUid);
        if (chosen && sum(m_hal.channelsPerBuffer(*chosen, AudioScope::Input)) > 0)
            return Microphone{*chosen, *m_options.microphoneUid};
        if (logFallbacks)
            log(QStringLiteral("chosen microphone %1 is not connected; using the system default input")
                    .arg(*m_options.microphoneUid));
    }
    const auto input = m_hal.readUInt32(RecorderHAL::kSystemObject, AudioProperty::DefaultInputDevice);
    if (!input || *input == RecorderHAL::kNoObject)
        return std::nullopt;
    const auto uid = m_hal.string(*input, AudioProperty::DeviceUid);
    if (!uid || sum(m_hal.channelsPerBuffer(*input, AudioScope::Input)) <= 0)
        return std::nullopt;
    return Microphone{*input, *uid};
}

std::expected<void, RecordingEngine::EngineError> RecordingEngine::assemble(Graph& graph, const Tap& tap)
{
    // The output device is the tap's clock; without one there is nothing to record against.
    const auto output = m_hal.readUInt32(RecorderHAL::kSystemObject, AudioProperty::DefaultOutputDevice);
    const auto outputUid = output && *output != RecorderHAL::kNoObject
                               ? m_hal.string(*output, AudioProperty::DeviceUid)
                               : std::nullopt;
    if (!outputUid)
        return std::unexpected(EngineError{
            QStringLiteral("No audio output device is available; the system audio tap needs one as its clock."), {}});
    graph.outputDeviceId = *output;
    graph.outputUid = *outputUid;
    m_outputKind = outputKind(m_hal, graph.outputDeviceId);
    m_outputSharesMicrophone = false;
    const QString outputName = deviceName(graph.outputDeviceId, graph.outputUid);
    log(QStringLiteral("output %1 is %2").arg(outputName, toRawValue(m_outputKind)));

    if (m_options.includeMicrophone) {
        if (const auto microphone = resolveMicrophone(true)) {
            graph.micDeviceId = microphone->id;
            graph.micUid = microphone->uid;
            graph.micName = deviceName(microphone->id, microphone->uid);
            const auto outputModel = m_hal.string(graph.outputDeviceId, AudioProperty::ModelUid);
            m_outputSharesMicrophone = outputModel && outputModel == m_hal.string(microphone->id, AudioProperty::ModelUid);
        } else {
            log(QStringLiteral("no input device found; recording system audio only"));
        }
    }

    QList<RecorderHAL::SubDevice> subDevices;
    std::optional<QString> clock;
    if (!graph.micUid || *graph.micUid != graph.outputUid) {
        graph.outputInAggregate = sum(m_hal.channelsPerBuffer(graph.outputDeviceId, AudioScope::Input)) == 0;
        if (graph.outputInAggregate) {
            subDevices.append({graph.outputUid, false});
            if (graph.micUid)
                subDevices.append({*graph.micUid, true});
            clock = graph.outputUid;
        } else if (!graph.micUid) {
            // A headset's own inputs would land in the aggregate beside the tap; leave the device out.
            log(QStringLiteral("output %1 has its own inputs and the microphone is off; the tap clocks the recorder")
                    .arg(outputName));
        } else {
            subDevices.append({*graph.micUid, false});
            clock = *graph.micUid;
            log(QStringLiteral("output %1 has its own inputs and is not the microphone; the microphone clocks the "
                               "recorder")
                    .arg(outputName));
        }
    } else {
        graph.outputInAggregate = true;
        subDevices.append({graph.outputUid, false});
        clock = graph.outputUid;
    }

    RecorderHAL::AggregateDescription description;
    description.name = QString::fromLatin1(kRecorderAggregateName);
    description.uid = QString::fromLatin1(kRecorderAggregateUidPrefix)
                      + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    description.isPrivate = true;
    description.stacked = false;
    description.tapAutoStart = false;
    description.subDevices = subDevices;
    description.taps = {{tap.description.uuid, true}};
    description.clockDeviceUid = clock;
    const auto aggregate = m_hal.createAggregateDevice(description);
    if (!aggregate)
        return std::unexpected(EngineError::from(
            {QStringLiteral("Creating the recorder's private aggregate device (AudioHardwareCreateAggregateDevice)"),
             aggregate.error()}));
    graph.aggregateId = *aggregate;
    graph.aggregateUid = description.uid;

    if (const auto rate = m_hal.readFloat64(graph.aggregateId, AudioProperty::NominalSampleRate); rate && *rate > 0)
        graph.sampleRate = *rate;
    else if (tap.format.sampleRate > 0)
        graph.sampleRate = tap.format.sampleRate;
    else if (const auto rate = m_hal.readFloat64(graph.outputDeviceId, AudioProperty::NominalSampleRate);
             rate && *rate > 0)
        graph.sampleRate = *rate;
    else
        graph.sampleRate = 48000.0;

    const auto layout = resolveLayout(graph, tap);
    if (!layout)
        return std::unexpected(layout.error());
    graph.layout = *layout;

    readOutputDelay(graph.outputDeviceId);

    // Everything the callback touches exists before the device starts and outlives every graph.
    const IOLayout copy = graph.layout;
    AudioRingBuffer* ring = m_ring.get();
    MeterState* meter = m_meter.get();
    float* scratch = m_scratch.get();
    auto proc = m_hal.createIOProc(graph.aggregateId, [copy, ring, meter, scratch](std::span<const RecorderHAL::Buffer> buffers) {
        std::array<InputBuffer, kMaxInputBuffers> input;
        const size_t count = std::min(buffers.size(), input.size());
        int64_t lost = 0;
        int64_t padded = 0;
        for (size_t i = 0; i < count; ++i) {
            input[i] = InputBuffer{buffers[i].channels, buffers[i].byteSize, buffers[i].data};
            lost = std::max(lost, buffers[i].lostFrames);
            padded = std::max(padded, buffers[i].paddedFrames);
        }
        // The skipped cycles came before this buffer's audio.
        IORender::renderLost(lost, *ring, meter, scratch);
        IORender::countPadded(padded, meter);
        IORender::render(std::span<const InputBuffer>(input.data(), count), copy, *ring, meter, scratch);
    });
    if (!proc)
        return std::unexpected(EngineError::from(
            {QStringLiteral("Creating the recorder's IO callback (AudioDeviceCreateIOProcIDWithBlock)"), proc.error()}));
    if (*proc == 0)
        return std::unexpected(EngineError{QStringLiteral("Core Audio returned no IO callback for the recorder's device."), {}});
    graph.ioProcId = *proc;
    limitStreamUsage(graph);

    const QPointer<RecordingEngine> self(this);
    const quint64 serial = graph.serial;
    graph.rateListener = addListener(graph.aggregateId, AudioProperty::NominalSampleRate, AudioScope::Global,
                                     [self, serial] {
                                         if (self)
                                             self->aggregateRateChanged(serial);
                                     });
    if (m_hal.hasProperty(graph.outputDeviceId, AudioProperty::DataSource, AudioScope::Output))
        graph.dataSourceListener = addListener(graph.outputDeviceId, AudioProperty::DataSource, AudioScope::Output,
                                               [self, serial] {
                                                   if (self)
                                                       self->outputDataSourceChanged(serial);
                                               });
    return {};
}

std::expected<RecordingEngine::IOLayout, RecordingEngine::EngineError> RecordingEngine::resolveLayout(const Graph& graph,
                                                                                                   const Tap& tap)
{
    QList<int> tapBuffers;
    const int tapChannels = int(tap.format.channels);
    if (tap.format.interleaved())
        tapBuffers = {tapChannels};
    else
        tapBuffers = QList<int>(tapChannels, 1);
    const bool micIsOutput = graph.micUid && *graph.micUid == graph.outputUid;
    const QList<int> outputBuffers = !micIsOutput && graph.outputInAggregate
                                         ? m_hal.channelsPerBuffer(graph.outputDeviceId, AudioScope::Input)
                                         : QList<int>{};
    const QList<int> micBuffers = graph.micDeviceId ? m_hal.channelsPerBuffer(*graph.micDeviceId, AudioScope::Input)
                                                    : QList<int>{};
    const QList<int> expected = outputBuffers + micBuffers + tapBuffers;
    const QList<int> actual = m_hal.channelsPerBuffer(graph.aggregateId, AudioScope::Input);

    QList<int> list;
    qsizetype tapStart = 0;
    qsizetype micStart = 0;
    if (actual.isEmpty()) {
        log(QStringLiteral("aggregate stream configuration not readable; using the expected layout %1").arg(listText(expected)));
        list = expected;
        tapStart = outputBuffers.size() + micBuffers.size();
        micStart = outputBuffers.size();
    } else if (actual == expected) {
        list = actual;
        tapStart = outputBuffers.size() + micBuffers.size();
        micStart = outputBuffers.size();
    } else {
        log(QStringLiteral("aggregate input buffers %1 differ from expected %2; taking the tap from the end")
                .arg(listText(actual), listText(expected)));
        list = actual;
        tapStart = actual.size() - tapBuffers.size();
        micStart = tapStart - micBuffers.size();
        if (tapStart < 0 || sum(actual.mid(tapStart)) != tapChannels)
            return std::unexpected(EngineError{QStringLiteral("The recorder's audio device has no system audio input (buffers ")
                                                   + listText(actual) + QStringLiteral(")."),
                                               {}});
    }

    IOLayout layout;
    const QList<ChannelPick> tapPicks = firstTwoChannels(list, tapStart, tapBuffers.size(), list.size());
    if (tapPicks.isEmpty())
        return std::unexpected(EngineError{QStringLiteral("The recorder's audio device has no system audio channel."), {}});
    layout.tapL = tapPicks[0];
    layout.tapR = tapPicks.size() > 1 ? tapPicks[1] : tapPicks[0];
    if (!micBuffers.isEmpty() && micStart >= 0) {
        const QList<ChannelPick> micPicks = firstTwoChannels(list, micStart, micBuffers.size(), tapStart);
        if (micPicks.isEmpty())
            log(QStringLiteral("microphone channels not found in the aggregate; microphone side will be silent"));
        else {
            layout.micA = micPicks[0];
            if (micPicks.size() > 1)
                layout.micB = micPicks[1];
        }
    }
    layout.stereoSystem = !m_options.includeMicrophone;
    layout.bufferCount = list.size();
    layout.strict = !m_relaxLayoutCheck;

    log(QStringLiteral("graph %1: output %2, microphone %3, %4 Hz, buffers %5, mic at %6/%7, system at %8/%9")
            .arg(graph.aggregateUid, deviceName(graph.outputDeviceId, graph.outputUid),
                 graph.micName.value_or(QStringLiteral("off")), hz(graph.sampleRate), listText(list))
            .arg(layout.micA.buffer)
            .arg(layout.micB.buffer)
            .arg(layout.tapL.buffer)
            .arg(layout.tapR.buffer));
    return layout;
}

std::expected<void, RecordingEngine::EngineError> RecordingEngine::startIO(Graph& graph)
{
    if (graph.ioProcId == 0)
        return std::unexpected(EngineError{QStringLiteral("The recorder's IO callback is missing."), {}});
    m_meter->layoutMismatch.store(0);
    if (const HalStatus status = m_hal.startDevice(graph.aggregateId, graph.ioProcId))
        return std::unexpected(
            EngineError::from({QStringLiteral("Starting the recorder's audio device (AudioDeviceStart)"), status}));
    graph.isStarted = true;
    return {};
}

void RecordingEngine::teardown(Graph& graph)
{
    if (graph.rateListener) {
        removeListener(*graph.rateListener);
        graph.rateListener.reset();
    }
    if (graph.dataSourceListener) {
        removeListener(*graph.dataSourceListener);
        graph.dataSourceListener.reset();
    }
    if (graph.aggregateId == RecorderHAL::kNoObject)
        return;
    if (graph.ioProcId != 0) {
        // The hardware layer returns from stop and destroy only once no callback runs, so the
        // callback never outlives what it was given.
        if (graph.isStarted) {
            logIfFailed("AudioDeviceStop", m_hal.stopDevice(graph.aggregateId, graph.ioProcId));
            graph.isStarted = false;
        }
        logIfFailed("AudioDeviceDestroyIOProcID", m_hal.destroyIOProc(graph.aggregateId, graph.ioProcId));
        graph.ioProcId = 0;
    }
    logIfFailed("AudioHardwareDestroyAggregateDevice", m_hal.destroyAggregateDevice(graph.aggregateId));
    graph.aggregateId = RecorderHAL::kNoObject;
}

// ---- levels -----------------------------------------------------------------------------------

void RecordingEngine::startLevelTimer()
{
    const quint64 generation = ++m_levelTimerGeneration;
    runEvery(m_clock, kLevelInterval, QPointer<QObject>(this), [this, generation] { return levelTick(generation); });
}

bool RecordingEngine::levelTick(quint64 generation)
{
    if (generation != m_levelTimerGeneration)
        return false;
    if (m_phase == Phase::Running)
        publishLevels();
    return true;
}

double RecordingEngine::lostSeconds() const
{
    const int64_t uncounted = m_meter->lostFrames.load() - m_lastCountedLost;
    return m_lostSeconds + double(std::max<int64_t>(uncounted, 0)) / (m_graph ? m_graph->sampleRate : m_sampleRate);
}

void RecordingEngine::publishLevels()
{
    MeterState& meter = *m_meter;
    const int64_t callbacks = meter.callbacks.load();
    const int64_t frames = meter.frames.load();
    const bool moved = callbacks != m_lastCallbackCount;
    RecordingLevels levels;
    if (moved && frames > 0) {
        levels.micPeak = std::min(meter.micPeak.load(), 1.0f);
        levels.micRms = float(std::min(std::sqrt(meter.micSumSquares.load() / double(frames)), 1.0));
        levels.systemPeak = std::min(meter.systemPeak.load(), 1.0f);
        levels.systemRms = float(std::min(std::sqrt(meter.systemSumSquares.load() / double(frames)), 1.0));
    }
    m_lastCallbackCount = callbacks;
    meter.resetRequested.store(1);

    if (meter.layoutMismatch.load() == 0) {
        if (moved && ++m_cleanTicks >= kCleanTicksToForgive)
            m_mismatchRebuilds = 0;
    } else if (m_graph && !m_graph->mismatchHandled) {
        m_graph->mismatchHandled = true;
        m_cleanTicks = 0;
        if (++m_mismatchRebuilds < kMismatchEpisodesBeforeRelaxing) {
            log(QStringLiteral("the device's input streams changed under the IO; holding audio and checking the devices now"));
        } else {
            m_relaxLayoutCheck = true;
            log(QStringLiteral("the IO buffer list keeps differing from the stream configuration; recording without the "
                               "layout check"));
        }
        scheduleDeviceCheck(QStringLiteral("input streams changed"), std::chrono::milliseconds::zero(), true);
    }

    const int64_t dropped = meter.droppedFrames.load();
    const QDateTime now = m_clock.now();
    const int64_t lost = meter.lostFrames.load();
    if (lost > m_lastCountedLost) {
        m_lostSeconds += double(lost - m_lastCountedLost) / (m_graph ? m_graph->sampleRate : m_sampleRate);
        m_lastCountedLost = lost;
    }
    if (lost > m_lastLoggedLost && (m_lastLostLog.isNull()
                                    || m_lastLostLog.msecsTo(now) >= std::chrono::milliseconds(kDropLogInterval).count())) {
        log(QStringLiteral("the audio server skipped cycles: %1 frame(s) (%2 s) lost so far, recorded as silence")
                .arg(QString::number(lost), QString::number(m_lostSeconds, 'f', 2)));
        m_lastLoggedLost = lost;
        m_lastLostLog = now;
    }
    if (dropped > m_lastLoggedDrops && (m_lastDropLog.isNull()
                                          || m_lastDropLog.msecsTo(now) >= std::chrono::milliseconds(kDropLogInterval).count())) {
        log(QStringLiteral("ring full, %1 frame(s) dropped so far (the writer is not keeping up)").arg(dropped));
        m_lastLoggedDrops = dropped;
        m_lastDropLog = now;
    }

    if (onLevels)
        onLevels(levels);
}

// ---- watching ---------------------------------------------------------------------------------

std::optional<RecordingEngine::ListenerRegistration> RecordingEngine::addListener(AudioObjectId object,
                                                                                  AudioProperty property,
                                                                                  AudioScope scope,
                                                                                  std::function<void()> handler)
{
    const auto id = m_hal.addListener(object, property, scope, std::move(handler));
    if (!id) {
        log(QStringLiteral("could not watch '%1' on audio object %2: %3")
                .arg(RecorderHAL::propertyText(property))
                .arg(object)
                .arg(RecorderHAL::describe(id.error())));
        return std::nullopt;
    }
    return ListenerRegistration{object, property, *id};
}

void RecordingEngine::removeListener(const ListenerRegistration& registration)
{
    if (const HalStatus status = m_hal.removeListener(registration.id))
        log(QStringLiteral("removing the '%1' listener on audio object %2: %3")
                .arg(RecorderHAL::propertyText(registration.property))
                .arg(registration.object)
                .arg(RecorderHAL::describe(status)));
}

void RecordingEngine::installSystemListeners()
{
    const QPointer<RecordingEngine> self(this);
    auto deviceCheck = [self](const QString& reason) {
        return [self, reason] {
            if (self)
                self->scheduleDeviceCheck(reason, kDeviceCheckDelay, false);
        };
    };
    auto watch = [this](AudioProperty property, std::function<void()> handler) {
        if (auto registration = addListener(RecorderHAL::kSystemObject, property, AudioScope::Global, std::move(handler)))
            m_systemListeners.append(*registration);
    };
    watch(AudioProperty::DefaultInputDevice, deviceCheck(QStringLiteral("default input changed")));
    watch(AudioProperty::DefaultOutputDevice, deviceCheck(QStringLiteral("default output changed")));
    watch(AudioProperty::Devices, deviceCheck(QStringLiteral("device list changed")));
    watch(AudioProperty::ServiceRestarted, [self] {
        if (self)
            self->serviceRestarted();
    });
    if (m_options.source.isApp())
        watch(AudioProperty::ProcessObjectList, [self] {
            if (self)
                self->scheduleProcessRefresh();
        });
}

void RecordingEngine::removeSystemListeners()
{
    for (const ListenerRegistration& registration : std::as_const(m_systemListeners))
        removeListener(registration);
    m_systemListeners.clear();
}

void RecordingEngine::scheduleDeviceCheck(const QString& reason, std::chrono::milliseconds delay, bool force)
{
    if (m_phase != Phase::Running)
        return;
    const quint64 generation = ++m_deviceCheckGeneration;
    m_pendingDeviceCheck = true;
    after(delay, [this, generation, reason, force] {
        if (generation == m_deviceCheckGeneration)
            checkDevices(reason, force);
    });
}

void RecordingEngine::checkDevices(const QString& reason, bool force)
{
    m_pendingDeviceCheck = false;
    if (m_phase != Phase::Running)
        return;
    if (!m_graph) {
        rebuild(QStringLiteral("retrying after a failed rebuild (") + reason + QLatin1Char(')'));
        return;
    }
    const QList<AudioObjectId> devices = m_hal.objectIds(RecorderHAL::kSystemObject, AudioProperty::Devices);
    std::optional<QString> defaultOutputUid;
    if (const auto output = m_hal.readUInt32(RecorderHAL::kSystemObject, AudioProperty::DefaultOutputDevice);
        output && *output != RecorderHAL::kNoObject)
        defaultOutputUid = m_hal.string(*output, AudioProperty::DeviceUid);
    auto gone = [&](AudioObjectId device) {
        const auto alive = m_hal.readUInt32(device, AudioProperty::IsAlive);
        return !devices.contains(device) || !alive || *alive == 0;
    };

    QString change;
    if (gone(m_graph->outputDeviceId)) {
        change = QStringLiteral("the output device went away");
    } else if (defaultOutputUid && *defaultOutputUid != m_graph->outputUid) {
        change = QStringLiteral("the default output device changed");
    } else if (m_options.includeMicrophone) {
        if (m_graph->micDeviceId && gone(*m_graph->micDeviceId)) {
            change = QStringLiteral("the microphone went away");
        } else {
            const auto microphone = resolveMicrophone(false);
            const std::optional<QString> uid = microphone ? std::optional(microphone->uid) : std::nullopt;
            if (uid != m_graph->micUid)
                change = QStringLiteral("the microphone to use changed");
        }
    }
    if (change.isEmpty() && force)
        change = QStringLiteral("the device's input streams changed");
    if (!change.isEmpty()) {
        rebuild(change + QStringLiteral(" (") + reason + QLatin1Char(')'));
        return;
    }
    const auto rate = m_hal.readFloat64(m_graph->aggregateId, AudioProperty::NominalSampleRate);
    if (rate && *rate > 0 && *rate != m_graph->sampleRate)
        aggregateRateChanged(m_graph->serial);
}

void RecordingEngine::rebuild(const QString& reason)
{
    if (m_phase != Phase::Running)
        return;
    if (m_restartSince)
        return;  // the restarted service is awaited; its rebuild takes every change in
    log(QStringLiteral("rebuilding the audio graph: %1").arg(reason));
    const AudioOutputKind kindBefore = m_outputKind;
    const bool usableBefore = outputIsEchoUsable();

    auto attempt = [this]() -> std::expected<void, EngineError> {
        if (m_graph) {
            teardown(*m_graph);
            m_graph.reset();
        }
        if (!m_tap) {
            auto tap = makeTap();
            if (!tap)
                return std::unexpected(tap.error());
            m_tap = std::move(*tap);
        }
        auto graph = std::make_unique<Graph>();
        graph->serial = ++m_graphSerial;
        if (auto assembled = assemble(*graph, *m_tap); !assembled) {
            teardown(*graph);
            return assembled;
        }
        m_graph = std::move(graph);
        const quint64 serial = m_graph->serial;
        announceFormat(*m_graph);
        if (m_phase == Phase::Running && isCurrent(serial)) {
            if (auto started = startIO(*m_graph); !started)
                return started;
            m_rebuildFailures = 0;
        }
        return {};
    };

    if (const auto result = attempt(); !result) {
        ++m_rebuildFailures;
        log(QStringLiteral("rebuild failed (%1 of %2): %3").arg(m_rebuildFailures).arg(kRebuildAttempts).arg(result.error().message));
        if (m_graph) {
            teardown(*m_graph);
            m_graph.reset();
        }
        if (m_rebuildFailures < kRebuildAttempts)
            scheduleDeviceCheck(QStringLiteral("retry"), std::chrono::seconds(m_rebuildFailures), false);
        else
            fail(QStringLiteral("The audio devices changed and the recorder could not reconnect (") + result.error().message
                 + QStringLiteral(")."));
    }

    if (m_phase == Phase::Running && (m_outputKind != kindBefore || outputIsEchoUsable() != usableBefore)
        && onOutputKindChange)
        onOutputKindChange(m_outputKind);
}

void RecordingEngine::announceFormat(const Graph& graph)
{
    m_sampleRate = graph.sampleRate;
    m_microphoneName = graph.micName;
    if (onFormatChange)
        onFormatChange(m_sampleRate, m_microphoneName);
}

void RecordingEngine::serviceRestarted()
{
    if (m_phase != Phase::Running)
        return;
    ++m_deviceCheckGeneration;
    m_pendingDeviceCheck = false;
    // A restart comes with several notices (the connection closing, the new server's first
    // devices): they are one restart, and the rebuild waits for the server to be back.
    if (m_restartSince) {
        log(QStringLiteral("the audio service restarted again; still waiting for it"));
        return;
    }
    log(QStringLiteral("the audio service restarted; recreating the tap and the device"));
    m_restartSince = m_clock.now();
    if (m_graph) {
        teardown(*m_graph);
        m_graph.reset();
    }
    destroyTap();
    const quint64 generation = ++m_restartGeneration;
    after(kRestartSettle, [this, generation] { awaitRestartedService(generation); });
}

void RecordingEngine::awaitRestartedService(quint64 generation)
{
    if (generation != m_restartGeneration || m_phase != Phase::Running || !m_restartSince)
        return;
    // While the server comes back it has no default output, or only a placeholder the backend
    // does not report: building then would record nothing, without the microphone.
    const auto output = m_hal.readUInt32(RecorderHAL::kSystemObject, AudioProperty::DefaultOutputDevice);
    const bool outputBack = output && *output != RecorderHAL::kNoObject;
    const bool waitedEnough = m_restartSince->msecsTo(m_clock.now()) >= std::chrono::milliseconds(kRestartWait).count();
    if (!outputBack && !waitedEnough) {
        after(kRestartPoll, [this, generation] { awaitRestartedService(generation); });
        return;
    }
    if (!outputBack)
        log(QStringLiteral("the audio service has no output %1 s after restarting; rebuilding anyway")
                .arg(std::chrono::duration_cast<std::chrono::seconds>(kRestartWait).count()));
    m_restartSince.reset();
    m_rebuildFailures = 0;
    rebuild(QStringLiteral("audio service restarted"));
}

void RecordingEngine::verifyIOAfterWake()
{
    if (m_phase != Phase::Running)
        return;
    const int64_t before = m_meter->callbacks.load();
    after(kWakeCheckDelay, [this, before] {
        if (m_phase != Phase::Running)
            return;
        if (m_meter->callbacks.load() != before)
            log(QStringLiteral("audio IO resumed after sleep"));
        else
            rebuild(QStringLiteral("the audio IO did not resume after sleep"));
    });
}

void RecordingEngine::scheduleProcessRefresh()
{
    if (m_phase != Phase::Running)
        return;
    const quint64 generation = ++m_processRefreshGeneration;
    m_pendingProcessRefresh = true;
    after(kProcessRefreshDelay, [this, generation] {
        if (generation == m_processRefreshGeneration)
            refreshTappedProcesses();
    });
}

void RecordingEngine::refreshTappedProcesses()
{
    m_pendingProcessRefresh = false;
    if (m_phase != Phase::Running || !m_options.source.isApp() || !m_tap)
        return;
    const QList<AudioObjectId> processes = m_catalog->processObjectIds(m_options.source.bundleId);
    const QList<AudioObjectId> before = m_tap->description.processes;
    if (processes.isEmpty() || QSet<AudioObjectId>(processes.begin(), processes.end()) == QSet<AudioObjectId>(before.begin(), before.end()))
        return;
    m_tap->description.processes = processes;
    if (const HalStatus status = m_hal.writeTapDescription(m_tap->id, m_tap->description)) {
        m_tap->description.processes = before;
        log(QStringLiteral("could not add %1's new audio processes to the tap: %2")
                .arg(m_options.source.name, RecorderHAL::describe(status)));
        return;
    }
    log(QStringLiteral("%1 now has %2 audio process(es); tap updated").arg(m_options.source.name, QString::number(processes.size())));
}

void RecordingEngine::aggregateRateChanged(quint64 graphSerial)
{
    if (m_phase != Phase::Running || !isCurrent(graphSerial))
        return;
    const auto rate = m_hal.readFloat64(m_graph->aggregateId, AudioProperty::NominalSampleRate);
    if (!rate || *rate <= 0 || *rate == m_graph->sampleRate)
        return;
    log(QStringLiteral("device rate changed from %1 to %2 Hz").arg(hz(m_graph->sampleRate), hz(*rate)));
    if (m_graph->isStarted) {
        logIfFailed("AudioDeviceStop", m_hal.stopDevice(m_graph->aggregateId, m_graph->ioProcId));
        m_graph->isStarted = false;
    }
    m_graph->sampleRate = *rate;
    announceFormat(*m_graph);
    if (m_phase != Phase::Running || !isCurrent(graphSerial))
        return;
    if (const auto started = startIO(*m_graph); !started) {
        log(QStringLiteral("restart after the rate change failed: %1").arg(started.error().message));
        rebuild(QStringLiteral("restart after a rate change failed"));
    }
}

void RecordingEngine::outputDataSourceChanged(quint64 graphSerial)
{
    if (m_phase != Phase::Running || !isCurrent(graphSerial))
        return;
    const AudioObjectId output = m_graph->outputDeviceId;
    const AudioOutputKind kind = outputKind(m_hal, output);
    const bool usableBefore = outputIsEchoUsable();
    readOutputDelay(output);
    if (kind == m_outputKind && outputIsEchoUsable() == usableBefore)
        return;
    log(QStringLiteral("output %1 changed from %2 to %3")
            .arg(deviceName(output, m_graph->outputUid), toRawValue(m_outputKind), toRawValue(kind)));
    m_outputKind = kind;
    if (onOutputKindChange)
        onOutputKindChange(kind);
}

void RecordingEngine::reconfigure(const RecordingOptions& options)
{
    if (options == m_options)
        return;
    const bool sameSource = options.source == m_options.source;
    m_options = options;
    if (m_phase != Phase::Running)
        return;
    if (sameSource) {
        rebuild(QStringLiteral("the microphone was turned ")
                + (options.includeMicrophone ? QStringLiteral("on") : QStringLiteral("off")));
        return;
    }
    if (m_graph) {
        teardown(*m_graph);
        m_graph.reset();
    }
    destroyTap();
    rebuild(QStringLiteral("the source changed to ") + sourceLabel());
}

// ---- output facts -----------------------------------------------------------------------------

void RecordingEngine::readOutputDelay(AudioObjectId device)
{
    const auto transport = m_hal.readUInt32(device, AudioProperty::TransportType);
    m_outputIsAirPlay = transport && *transport == AudioTransport::kAirPlay;
    m_outputLatency = outputLatency(m_hal, device).value_or(0);
    const QString name = deviceName(device, QStringLiteral("output"));
    if (m_outputIsAirPlay)
        log(QStringLiteral("output %1 plays %2 ms after the tap%3; too late for echo cancellation to follow, automatic "
                           "mode leaves it off")
                .arg(name, ms(m_outputLatency), QStringLiteral(" (AirPlay)")));
    else if (m_outputLatency <= kEchoLatencyLimit)
        log(QStringLiteral("output %1 plays %2 ms after the tap; echo reference delayed %3 ms")
                .arg(name, ms(m_outputLatency), ms(std::max(m_outputLatency - 0.05, 0.0))));
    else
        log(QStringLiteral("output %1 plays %2 ms after the tap%3; too late for echo cancellation to follow, automatic "
                           "mode leaves it off")
                .arg(name, ms(m_outputLatency), QString()));
}

std::optional<double> RecordingEngine::outputLatency(RecorderHAL& hal, AudioObjectId device)
{
    const auto rate = hal.readFloat64(device, AudioProperty::NominalSampleRate);
    if (!rate || *rate <= 0)
        return std::nullopt;
    auto frames = [&](AudioObjectId object, AudioProperty property, AudioScope scope) {
        return double(hal.readUInt32(object, property, scope).value_or(0));
    };
    double total = frames(device, AudioProperty::Latency, AudioScope::Output)
                   + frames(device, AudioProperty::SafetyOffset, AudioScope::Output)
                   + frames(device, AudioProperty::BufferFrameSize, AudioScope::Output);
    const QList<AudioObjectId> streams = hal.objectIds(device, AudioProperty::Streams, AudioScope::Output);
    if (!streams.isEmpty())
        total += frames(streams.first(), AudioProperty::Latency, AudioScope::Global);
    return total / *rate;
}

AudioOutputKind RecordingEngine::outputKind(RecorderHAL& hal, AudioObjectId device)
{
    const quint32 transport = hal.readUInt32(device, AudioProperty::TransportType).value_or(0);
    const QString name = hal.string(device, AudioProperty::Name).value_or(QString()).toLower();
    static const QStringList headphoneWords{QStringLiteral("headphone"), QStringLiteral("headset"),
                                            QStringLiteral("earphone"),  QStringLiteral("earbud"),
                                            QStringLiteral("airpods"),   QStringLiteral("earpods"),
                                            QStringLiteral("buds")};
    const bool headphoneWord = std::any_of(headphoneWords.cbegin(), headphoneWords.cend(),
                                           [&](const QString& word) { return name.contains(word); });
    const bool speakerWord = name.contains(QLatin1String("speaker"));

    switch (transport) {
    case AudioTransport::kBuiltIn: {
        const auto source = hal.readUInt32(device, AudioProperty::DataSource, AudioScope::Output);
        if (source && *source == AudioDataSource::kInternalSpeaker)
            return AudioOutputKind::BuiltInSpeakers;
        if (source && *source == AudioDataSource::kHeadphones)
            return AudioOutputKind::Headphones;
        if (headphoneWord)
            return AudioOutputKind::Headphones;
        return speakerWord ? AudioOutputKind::BuiltInSpeakers : AudioOutputKind::Unknown;
    }
    case AudioTransport::kThunderbolt:
    case AudioTransport::kUsb:
        if (headphoneWord)
            return AudioOutputKind::Headphones;
        return speakerWord ? AudioOutputKind::ExternalSpeakers : AudioOutputKind::Unknown;
    case AudioTransport::kDisplayPort:
    case AudioTransport::kHdmi:
    case AudioTransport::kAirPlay:
        return AudioOutputKind::ExternalSpeakers;
    case AudioTransport::kBluetooth:
    case AudioTransport::kBluetoothLE:
        return speakerWord && !headphoneWord ? AudioOutputKind::ExternalSpeakers : AudioOutputKind::Headphones;
    default:
        return AudioOutputKind::Unknown;
    }
}

// ---- stream usage -----------------------------------------------------------------------------

void RecordingEngine::limitStreamUsage(const Graph& graph)
{
    const IOLayout& layout = graph.layout;
    if (layout.bufferCount > 0) {
        QList<bool> inUse(layout.bufferCount, false);
        for (const ChannelPick& pick : {layout.micA, layout.micB, layout.tapL, layout.tapR})
            if (!pick.isNone() && pick.buffer < layout.bufferCount)
                inUse[pick.buffer] = true;
        setStreamUsage(graph, AudioScope::Input, inUse);
    }
    const QList<AudioObjectId> outputs = m_hal.objectIds(graph.aggregateId, AudioProperty::Streams, AudioScope::Output);
    if (!outputs.isEmpty())
        setStreamUsage(graph, AudioScope::Output, QList<bool>(outputs.size(), false));
}

void RecordingEngine::setStreamUsage(const Graph& graph, AudioScope scope, const QList<bool>& streamIsOn)
{
    const QString word = scope == AudioScope::Input ? QStringLiteral("input") : QStringLiteral("output");
    if (const HalStatus status = m_hal.setStreamUsage(graph.aggregateId, graph.ioProcId, scope, streamIsOn)) {
        log(QStringLiteral("could not limit the %1 streams (%2); all of them run").arg(word, RecorderHAL::describe(status)));
        return;
    }
    QString flags;
    for (bool on : streamIsOn)
        flags += on ? QLatin1Char('1') : QLatin1Char('0');
    log(QStringLiteral("%1 streams in use: %2").arg(word, flags));
}

}  // namespace harkwell
