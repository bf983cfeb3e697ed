#include "platform/audiohal/PipeWireAudioHardware.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace harkwell {

namespace {

// PipeWire's ids start at 0; ours must never meet the system object's.
constexpr AudioObjectId kNodeOffset = 0x100;
constexpr AudioObjectId kOwnObjectBase = 0x4000'0000u;
constexpr AudioObjectId kStreamFlag = 0x8000'0000u;
constexpr double kRate = 48000;
// The largest quantum a capture hands over at once, and how much a side stream may run ahead.
constexpr uint32_t kMaxFrames = 8192;
constexpr uint32_t kFifoFrames = 48000;

QString prop(const spa_dict* props, const char* key)
{
    const char* value = props ? spa_dict_lookup(props, key) : nullptr;
    return value ? QString::fromUtf8(value) : QString();
}

}  // namespace

// Everything the registry told us, and our own taps and aggregates. Guarded by the thread loop's
// lock: registry events and stream callbacks run with it held, and every call from outside takes it.
struct PipeWireAudioHardware::Server {
    struct Node {
        quint32 id = 0;
        QString mediaClass;
        QString name;
        QString description;
        QString serial;
        int channels = 0;
        qint64 pid = 0;
        QString appName;
        QString bundleId;
        quint32 deviceId = 0;
        bool running = false;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        Server* server = nullptr;

        bool isSink() const { return mediaClass == QLatin1String("Audio/Sink") || mediaClass == QLatin1String("Audio/Duplex"); }
        bool isSource() const
        {
            return mediaClass == QLatin1String("Audio/Source") || mediaClass == QLatin1String("Audio/Duplex")
                   || mediaClass == QLatin1String("Audio/Source/Virtual");
        }
        bool isPlayback() const { return mediaClass == QLatin1String("Stream/Output/Audio") && pid > 0; }
    };
    struct Device {
        QString api;
        QString bus;
    };
    struct Tap {
        TapDescription description;
    };
    struct Aggregate;
    // One capture stream of an aggregate. Only the thread loop touches its samples.
    struct Capture {
        Server* server = nullptr;
        Aggregate* aggregate = nullptr;
        pw_stream* stream = nullptr;
        spa_hook listener{};
        int channels = 2;
        bool isClock = false;
        bool isTap = false;
        int buffer = 0;  // the aggregate input buffer it fills
        std::vector<float> fifo;
        size_t readFrame = 0;
        size_t writeFrame = 0;
    };
    struct Aggregate {
        AggregateDescription description;
        QList<int> inputBuffers;
        QList<QString> sourceNames;  // per input buffer: the node to capture, empty for the tap
        AudioObjectId tap = 0;
        IOProcId proc = 0;
        IOCallback callback;
        std::vector<std::unique_ptr<Capture>> captures;
        std::vector<std::vector<float>> scratch;  // per input buffer
        std::vector<Buffer> buffers;
    };

    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_metadata* metadata = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    spa_hook metadataListener{};
    int syncSeq = -1;
    bool synced = false;
    bool broken = false;
    std::optional<QString> error;

    QMap<quint32, Node*> nodes;
    QMap<quint32, Device> devices;
    QString defaultSink;
    QString defaultSource;
    QMap<AudioObjectId, Tap> taps;
    QMap<AudioObjectId, Aggregate*> aggregates;
    AudioObjectId nextOwn = kOwnObjectBase;
    IOProcId nextProc = 1;

    // Listeners live on the thread that made the hardware layer; changes are posted to it.
    std::unique_ptr<QObject> context_ = std::make_unique<QObject>();
    struct Listener {
        AudioObjectId object = 0;
        AudioProperty property{};
        std::function<void()> handler;
    };
    QMap<ListenerId, Listener> listeners;  // that thread only
    ListenerId nextListener = 1;

    void notify(AudioObjectId object, AudioProperty property)
    {
        QPointer<QObject> target(context_.get());
        QMetaObject::invokeMethod(
            context_.get(),
            [this, target, object, property] {
                if (!target)
                    return;
                const QList<ListenerId> ids = listeners.keys();
                for (ListenerId id : ids) {
                    const auto it = listeners.constFind(id);
                    if (it != listeners.cend() && it->object == object && it->property == property) {
                        const std::function<void()> handler = it->handler;
                        handler();
                    }
                }
            },
            Qt::QueuedConnection);
    }

    const Node* node(AudioObjectId object) const
    {
        if (object < kNodeOffset || object >= kOwnObjectBase)
            return nullptr;
        return nodes.value(object - kNodeOffset, nullptr);
    }
    const Node* nodeNamed(const QString& name) const
    {
        for (const Node* n : nodes)
            if (n->name == name)
                return n;
        return nullptr;
    }
    AudioObjectId deviceObject(const QString& name) const
    {
        const Node* n = nodeNamed(name);
        return n && (n->isSink() || n->isSource()) ? n->id + kNodeOffset : AudioObjectId(0);
    }

    // ---- registry ----

    static void onNodeInfo(void* data, const pw_node_info* info)
    {
        auto* n = static_cast<Node*>(data);
        const bool running = info->state == PW_NODE_STATE_RUNNING;
        if (running != n->running) {
            n->running = running;
            n->server->notify(n->id + kNodeOffset, AudioProperty::ProcessIsRunningOutput);
        }
    }

    static void onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props)
    {
        auto* server = static_cast<Server*>(data);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Device) == 0) {
            server->devices.insert(id, Device{prop(props, PW_KEY_DEVICE_API), prop(props, PW_KEY_DEVICE_BUS)});
            return;
        }
        if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
            if (prop(props, PW_KEY_METADATA_NAME) == QLatin1String("default") && !server->metadata) {
                server->metadata = static_cast<pw_metadata*>(
                    pw_registry_bind(server->registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
                static const pw_metadata_events events = {PW_VERSION_METADATA_EVENTS, &Server::onMetadata};
                pw_metadata_add_listener(server->metadata, &server->metadataListener, &events, server);
            }
            return;
        }
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0)
            return;
        auto* n = new Node;
        n->id = id;
        n->server = server;
        n->mediaClass = prop(props, PW_KEY_MEDIA_CLASS);
        n->name = prop(props, PW_KEY_NODE_NAME);
        n->description = prop(props, PW_KEY_NODE_DESCRIPTION);
        if (n->description.isEmpty())
            n->description = prop(props, PW_KEY_NODE_NICK);
        n->serial = prop(props, PW_KEY_OBJECT_SERIAL);
        n->channels = prop(props, PW_KEY_AUDIO_CHANNELS).toInt();
        n->pid = prop(props, PW_KEY_APP_PROCESS_ID).toLongLong();
        n->appName = prop(props, PW_KEY_APP_NAME);
        n->deviceId = prop(props, PW_KEY_DEVICE_ID).toUInt();
        for (const char* key : {"pipewire.access.portal.app_id", PW_KEY_APP_ID, PW_KEY_APP_PROCESS_BINARY, PW_KEY_APP_NAME}) {
            n->bundleId = prop(props, key);
            if (!n->bundleId.isEmpty())
                break;
        }
        if (!n->isSink() && !n->isSource() && !n->isPlayback()) {
            delete n;
            return;
        }
        if (n->isPlayback()) {
            n->proxy = static_cast<pw_proxy*>(pw_registry_bind(server->registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
            static const pw_node_events events = [] {
                pw_node_events e{};
                e.version = PW_VERSION_NODE_EVENTS;
                e.info = &Server::onNodeInfo;
                return e;
            }();
            pw_node_add_listener(reinterpret_cast<pw_node*>(n->proxy), &n->listener, &events, n);
        }
        server->nodes.insert(id, n);
        server->notify(RecorderHAL::kSystemObject,
                       n->isPlayback() ? AudioProperty::ProcessObjectList : AudioProperty::Devices);
    }

    static void onGlobalRemove(void* data, uint32_t id)
    {
        auto* server = static_cast<Server*>(data);
        server->devices.remove(id);
        Node* n = server->nodes.take(id);
        if (!n)
            return;
        server->notify(RecorderHAL::kSystemObject,
                       n->isPlayback() ? AudioProperty::ProcessObjectList : AudioProperty::Devices);
        server->dropNode(n);
    }

    void dropNode(Node* n)
    {
        if (n->proxy) {
            spa_hook_remove(&n->listener);
            pw_proxy_destroy(n->proxy);
        }
        delete n;
    }

    static int onMetadata(void* data, uint32_t, const char* key, const char*, const char* value)
    {
        auto* server = static_cast<Server*>(data);
        if (!key)
            return 0;
        const bool sink = std::strcmp(key, "default.audio.sink") == 0;
        const bool source = std::strcmp(key, "default.audio.source") == 0;
        if (!sink && !source)
            return 0;
        const QString name = value ? QJsonDocument::fromJson(value).object().value(QStringLiteral("name")).toString()
                                   : QString();
        (sink ? server->defaultSink : server->defaultSource) = name;
        server->notify(RecorderHAL::kSystemObject,
                       sink ? AudioProperty::DefaultOutputDevice : AudioProperty::DefaultInputDevice);
        return 0;
    }

    static void onCoreDone(void* data, uint32_t id, int seq)
    {
        auto* server = static_cast<Server*>(data);
        if (id == PW_ID_CORE && seq == server->syncSeq) {
            server->synced = true;
            pw_thread_loop_signal(server->loop, false);
        }
    }

    static void onCoreError(void* data, uint32_t id, int, int res, const char* message)
    {
        auto* server = static_cast<Server*>(data);
        if (id != PW_ID_CORE || res != -EPIPE)
            return;
        // The server went away: everything we hold is gone with it.
        server->broken = true;
        server->error = QStringLiteral("The PipeWire audio server closed the connection (%1).").arg(QString::fromUtf8(message));
        server->notify(RecorderHAL::kSystemObject, AudioProperty::ServiceRestarted);
        pw_thread_loop_signal(server->loop, false);
    }

    // ---- capture ----

    static void onProcess(void* data)
    {
        auto* capture = static_cast<Capture*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(capture->stream);
        if (!buffer)
            return;
        const spa_data& plane = buffer->buffer->datas[0];
        const auto* samples = static_cast<const float*>(plane.data);
        if (samples && plane.chunk) {
            const auto region =
                capturedRegion(plane.maxsize, plane.chunk->offset, plane.chunk->size, capture->channels);
            if (region.frames > 0)
                capture->server->captured(*capture, samples + region.firstSample, std::min(region.frames, kMaxFrames));
        }
        pw_stream_queue_buffer(capture->stream, buffer);
    }

    void captured(Capture& capture, const float* samples, uint32_t frames)
    {
        const size_t channels = size_t(capture.channels);
        const size_t capacity = kFifoFrames;
        auto push = [&](Capture& into) {
            for (uint32_t f = 0; f < frames; ++f) {
                if (into.writeFrame - into.readFrame >= capacity)
                    ++into.readFrame;  // a side that runs ahead loses its oldest audio
                std::memcpy(&into.fifo[(into.writeFrame % capacity) * channels], samples + f * channels,
                            channels * sizeof(float));
                ++into.writeFrame;
            }
        };
        if (!capture.isClock) {
            push(capture);
            return;
        }
        Aggregate& aggregate = *capture.aggregate;
        for (qsizetype b = 0; b < aggregate.inputBuffers.size(); ++b)
            std::fill_n(aggregate.scratch[size_t(b)].begin(), size_t(frames) * size_t(aggregate.inputBuffers[b]), 0.0f);
        // The clock's own audio, then every other side for as much as it has.
        auto add = [&](Capture& from, const float* source, size_t available) {
            std::vector<float>& target = aggregate.scratch[size_t(from.buffer)];
            const size_t width = size_t(aggregate.inputBuffers[from.buffer]);
            const size_t count = std::min<size_t>(available, frames);
            for (size_t f = 0; f < count; ++f)
                for (size_t c = 0; c < width && c < size_t(from.channels); ++c) {
                    const float sample = source ? source[f * size_t(from.channels) + c]
                                                : from.fifo[((from.readFrame + f) % capacity) * size_t(from.channels) + c];
                    target[f * width + c] += sample;
                }
        };
        add(capture, samples, frames);
        for (auto& other : aggregate.captures) {
            if (other.get() == &capture)
                continue;
            const size_t available = other->writeFrame - other->readFrame;
            add(*other, nullptr, available);
            other->readFrame += std::min<size_t>(available, frames);
        }
        for (qsizetype b = 0; b < aggregate.inputBuffers.size(); ++b)
            aggregate.buffers[size_t(b)] = Buffer{aggregate.inputBuffers[b],
                                                 int64_t(frames) * aggregate.inputBuffers[b] * int64_t(sizeof(float)),
                                                 aggregate.scratch[size_t(b)].data()};
        aggregate.callback(std::span<const Buffer>(aggregate.buffers));
    }

    bool connectCapture(Aggregate& aggregate, Capture& capture, const QString& target, bool monitor)
    {
        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_MEDIA_ROLE, "Communication", PW_KEY_NODE_NAME, "harkwell-recorder",
                                                 nullptr);
        if (!target.isEmpty())
            pw_properties_set(props, PW_KEY_TARGET_OBJECT, target.toUtf8().constData());
        if (monitor)
            pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
        capture.stream = pw_stream_new(core, "harkwell recorder", props);
        if (!capture.stream)
            return false;
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = &Server::onProcess;
            return e;
        }();
        pw_stream_add_listener(capture.stream, &capture.listener, &events, &capture);
        capture.fifo.assign(size_t(kFifoFrames) * size_t(capture.channels), 0.0f);
        capture.aggregate = &aggregate;
        capture.server = this;

        uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = uint32_t(kRate);
        info.channels = uint32_t(capture.channels);
        if (capture.channels == 2) {
            info.position[0] = SPA_AUDIO_CHANNEL_FL;
            info.position[1] = SPA_AUDIO_CHANNEL_FR;
        } else if (capture.channels == 1) {
            info.position[0] = SPA_AUDIO_CHANNEL_MONO;
        }
        const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        const int result = pw_stream_connect(
            capture.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
            pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
        return result >= 0;
    }

    void stopCaptures(Aggregate& aggregate)
    {
        for (auto& capture : aggregate.captures) {
            if (capture->stream) {
                spa_hook_remove(&capture->listener);
                pw_stream_destroy(capture->stream);
            }
        }
        aggregate.captures.clear();
    }

    HalStatus startCaptures(Aggregate& aggregate)
    {
        const auto tap = taps.constFind(aggregate.tap);
        if (tap == taps.cend())
            return HalError::kBadObject;
        // The tap first: it is the clock.
        QList<QString> tapTargets;
        if (tap->description.exclusive) {
            tapTargets.append(defaultSink);
        } else {
            for (AudioObjectId process : tap->description.processes)
                if (const Node* n = node(process))
                    tapTargets.append(n->serial.isEmpty() ? QString::number(n->id) : n->serial);
            if (tapTargets.isEmpty())
                return HalError::kBadObject;
        }
        const int tapBuffer = int(aggregate.inputBuffers.size()) - 1;
        for (const QString& target : tapTargets) {
            auto capture = std::make_unique<Capture>();
            capture->channels = 2;
            capture->isTap = true;
            capture->isClock = aggregate.captures.empty();
            capture->buffer = tapBuffer;
            aggregate.captures.push_back(std::move(capture));
            if (!connectCapture(aggregate, *aggregate.captures.back(), target, tap->description.exclusive))
                return HalError::kUnspecified;
        }
        for (qsizetype b = 0; b < aggregate.sourceNames.size(); ++b) {
            if (aggregate.sourceNames[b].isEmpty())
                continue;
            auto capture = std::make_unique<Capture>();
            capture->channels = aggregate.inputBuffers[b];
            capture->buffer = int(b);
            aggregate.captures.push_back(std::move(capture));
            if (!connectCapture(aggregate, *aggregate.captures.back(), aggregate.sourceNames[b], false))
                return HalError::kUnspecified;
        }
        return 0;
    }
};

namespace {

// Holds the thread loop's lock for a scope.
class Locked {
public:
    explicit Locked(pw_thread_loop* loop) : m_loop(loop)
    {
        if (m_loop)
            pw_thread_loop_lock(m_loop);
    }
    ~Locked()
    {
        if (m_loop)
            pw_thread_loop_unlock(m_loop);
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    pw_thread_loop* m_loop;
};

}  // namespace

PipeWireAudioHardware::PipeWireAudioHardware() : d(std::make_unique<Server>())
{
    pw_init(nullptr, nullptr);
    d->loop = pw_thread_loop_new(kThreadName, nullptr);
    d->context = d->loop ? pw_context_new(pw_thread_loop_get_loop(d->loop), nullptr, 0) : nullptr;
    if (!d->context || pw_thread_loop_start(d->loop) < 0) {
        d->error = QStringLiteral("The PipeWire audio client could not be set up (%1); is libpipewire-0.3-modules installed?")
                       .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    Locked locked(d->loop);
    d->core = pw_context_connect(d->context, nullptr, 0);
    if (!d->core) {
        d->error = QStringLiteral("No PipeWire audio server is running (%1).").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = &Server::onCoreDone;
        e.error = &Server::onCoreError;
        return e;
    }();
    pw_core_add_listener(d->core, &d->coreListener, &coreEvents, d.get());
    d->registry = pw_core_get_registry(d->core, PW_VERSION_REGISTRY, 0);
    static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = &Server::onGlobal;
        e.global_remove = &Server::onGlobalRemove;
        return e;
    }();
    pw_registry_add_listener(d->registry, &d->registryListener, &registryEvents, d.get());
    d->syncSeq = pw_core_sync(d->core, PW_ID_CORE, 0);
    timespec deadline{};
    pw_thread_loop_get_time(d->loop, &deadline, std::chrono::nanoseconds(kConnectTimeout).count());
    while (!d->synced && !d->broken)
        if (pw_thread_loop_timed_wait_full(d->loop, &deadline) == -ETIMEDOUT)
            break;
    if (!d->synced && !d->error)
        d->error = QStringLiteral("The PipeWire audio server did not answer within %1 seconds.").arg(kConnectTimeout.count());
}

PipeWireAudioHardware::~PipeWireAudioHardware()
{
    if (d->loop)
        pw_thread_loop_stop(d->loop);
    for (Server::Aggregate* aggregate : std::as_const(d->aggregates)) {
        d->stopCaptures(*aggregate);
        delete aggregate;
    }
    for (Server::Node* n : std::as_const(d->nodes))
        d->dropNode(n);
    if (d->metadata)
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(d->metadata));
    if (d->registry)
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(d->registry));
    if (d->core)
        pw_core_disconnect(d->core);
    if (d->context)
        pw_context_destroy(d->context);
    if (d->loop)
        pw_thread_loop_destroy(d->loop);
}

std::optional<QString> PipeWireAudioHardware::connectionError() const
{
    Locked locked(d->core ? d->loop : nullptr);
    return d->error;
}

#define HARKWELL_REQUIRE_SERVER(failure)          \
    Locked locked(d->core ? d->loop : nullptr);   \
    if (!d->core || d->broken || !d->synced)      \
        return failure;

RecorderHAL::Result<quint32> PipeWireAudioHardware::readUInt32(AudioObjectId object, AudioProperty property,
                                                              AudioScope)
{
    HARKWELL_REQUIRE_SERVER(std::unexpected(HalError::kNotRunning))
    if (object == kSystemObject) {
        if (property == AudioProperty::DefaultOutputDevice)
            return d->deviceObject(d->defaultSink);
        if (property == AudioProperty::DefaultInputDevice)
            return d->deviceObject(d->defaultSource);
        return std::unexpected(HalError::kUnknownProperty);
    }
    if (object & kStreamFlag)
        return property == AudioProperty::Latency ? Result<quint32>(0u) : std::unexpected(HalError::kUnknownProperty);
    if (d->aggregates.contains(object))
        return property == AudioProperty::IsAlive ? Result<quint32>(1u) : std::unexpected(HalError::kUnknownProperty);
    const Server::Node* n = d->node(object);
    if (!n)
        return std::unexpected(HalError::kBadObject);
    switch (property) {
    case AudioProperty::ProcessPid: return quint32(n->pid);
    case AudioProperty::ProcessIsRunningOutput: return quint32(n->running ? 1 : 0);
    case AudioProperty::IsHidden: return 0u;
    case AudioProperty::IsAlive: return 1u;
    case AudioProperty::TransportType: {
        const Server::Device device = d->devices.value(n->deviceId);
        if (device.api == QLatin1String("bluez5"))
            return AudioTransport::kBluetooth;
        if (device.bus == QLatin1String("usb"))
            return AudioTransport::kUsb;
        if (n->name.contains(QLatin1String("hdmi"), Qt::CaseInsensitive))
            return AudioTransport::kHdmi;
        if (device.bus == QLatin1String("pci") || device.bus == QLatin1String("platform"))
            return AudioTransport::kBuiltIn;
        return AudioTransport::kVirtual;
    }
    case AudioProperty::Latency:
    case AudioProperty::SafetyOffset: return 0u;
    case AudioProperty::BufferFrameSize: return 1024u;
    default: return std::unexpected(HalError::kUnknownProperty);
    }
}

RecorderHAL::Result<double> PipeWireAudioHardware::readFloat64(AudioObjectId object, AudioProperty property, AudioScope)
{
    HARKWELL_REQUIRE_SERVER(std::unexpected(HalError::kNotRunning))
    if (property != AudioProperty::NominalSampleRate)
        return std::unexpected(HalError::kUnknownProperty);
    if (!d->aggregates.contains(object) && !d->node(object))
        return std::unexpected(HalError::kBadObject);
    // Every capture is converted to the graph's rate by the server.
    return kRate;
}

RecorderHAL::Result<QString> PipeWireAudioHardware::readString(AudioObjectId object, AudioProperty property, AudioScope)
{
    HARKWELL_REQUIRE_SERVER(std::unexpected(HalError::kNotRunning))
    if (const Server::Aggregate* aggregate = d->aggregates.value(object, nullptr)) {
        if (property == AudioProperty::DeviceUid)
            return aggregate->description.uid;
        if (property == AudioProperty::Name)
            return aggregate->description.name;
        return std::unexpected(HalError::kUnknownProperty);
    }
    const Server::Node* n = d->node(object);
    if (!n)
        return std::unexpected(HalError::kBadObject);
    switch (property) {
    case AudioProperty::DeviceUid: return n->name;
    case AudioProperty::Name:
        if (n->description.isEmpty())
            return std::unexpected(HalError::kUnknownProperty);
        return n->description;
    case AudioProperty::ProcessBundleId: return n->bundleId;
    default: return std::unexpected(HalError::kUnknownProperty);
    }
}

RecorderHAL::Result<QList<AudioObjectId>> PipeWireAudioHardware::readObjectList(AudioObjectId object,
                                                                              AudioProperty property, AudioScope scope)
{
    HARKWELL_REQUIRE_SERVER(std::unexpected(HalError::kNotRunning))
    QList<AudioObjectId> list;
    if (object == kSystemObject && (property == AudioProperty::Devices || property == AudioProperty::ProcessObjectList)) {
        for (const Server::Node* n : std::as_const(d->nodes)) {
            const bool device = n->isSink() || n->isSource();
            if (property == AudioProperty::Devices ? device : n->isPlayback())
                list.append(n->id + kNodeOffset);
        }
        if (property == AudioProperty::Devices)
            list.append(d->aggregates.keys());
        return list;
    }
    if (property == AudioProperty::Streams && scope == AudioScope::Output) {
        const Server::Node* n = d->node(object);
        if (n && n->isSink())
            list.append(kStreamFlag | object);
        return list;
    }
    return std::unexpected(HalError::kUnknownProperty);
}

RecorderHAL::Result<QList<int>> PipeWireAudioHardware::readStreamConfiguration(AudioObjectId device, AudioScope scope)
{
    HARKWELL_REQUIRE_SERVER(std::unexpected(HalError::kNotRunning))
    if (const Server::Aggregate* aggregate = d->aggregates.value(device, nullptr))
        return scope == AudioScope::Input ? aggregate->inputBuffers : QList<int>{};
    const Server::Node* n = d->node(device);
    if (!n)
        return std::unexpected(HalError::kBadObject);
    const int channels = n->channels > 0 ? n->channels : 2;
    if (scope == AudioScope::Input)
        return n->isSource() ? QList<int>{channels} : QList<int>{};
    return n->isSink() ? QList<int>{channels} : QList<int>{};
}

RecorderHAL::Result<RecorderHAL::TapFormat> PipeWireAudioHardware::readTapFormat(AudioObjectId tap)
{
    HARKWELL_REQUIRE_SERVER(std::unexpected(HalError::kNotRunning))
    if (!d->taps.contains(tap))
        return std::unexpected(HalError::kBadObject);
    TapFormat format;
    format.sampleRate = kRate;
    return format;
}

RecorderHAL::Result<AudioObjectId> PipeWireAudioHardware::processObjectForPid(qint64 pid)
{
    HARKWELL_REQUIRE_SERVER(std::unexpected(HalError::kNotRunning))
    for (const Server::Node* n : std::as_const(d->nodes))
        if (n->isPlayback() && n->pid == pid)
            return n->id + kNodeOffset;
    return kNoObject;
}

bool PipeWireAudioHardware::hasProperty(AudioObjectId object, AudioProperty property, AudioScope)
{
    HARKWELL_REQUIRE_SERVER(false)
    // PipeWire tells no output data source (the jack's speaker or headphones) apart.
    if (property == AudioProperty::DataSource)
        return false;
    return object == kSystemObject || d->aggregates.contains(object) || d->taps.contains(object) || d->node(object);
}

RecorderHAL::Result<AudioObjectId> PipeWireAudioHardware::createProcessTap(const TapDescription& description)
{
    HARKWELL_REQUIRE_SERVER(std::unexpected(HalError::kNotRunning))
    const AudioObjectId id = d->nextOwn++;
    d->taps.insert(id, Server::Tap{description});
    return id;
}

HalStatus PipeWireAudioHardware::destroyProcessTap(AudioObjectId tap)
{
    Locked locked(d->core ? d->loop : nullptr);
    return d->taps.remove(tap) > 0 ? 0 : HalError::kBadObject;
}

HalStatus PipeWireAudioHardware::writeTapDescription(AudioObjectId tap, const TapDescription& description)
{
    HARKWELL_REQUIRE_SERVER(HalError::kNotRunning)
    const auto it = d->taps.find(tap);
    if (it == d->taps.end())
        return HalError::kBadObject;
    it->description = description;
    // A running capture follows the new list from its next start.
    return 0;
}

RecorderHAL::Result<AudioObjectId> PipeWireAudioHardware::createAggregateDevice(const AggregateDescription& description)
{
    HARKWELL_REQUIRE_SERVER(std::unexpected(HalError::kNotRunning))
    auto aggregate = std::make_unique<Server::Aggregate>();
    aggregate->description = description;
    for (const SubDevice& sub : description.subDevices) {
        const Server::Node* n = d->nodeNamed(sub.uid);
        if (!n)
            return std::unexpected(HalError::kBadDevice);
        if (n->isSource()) {
            aggregate->inputBuffers.append(n->channels > 0 ? n->channels : 2);
            aggregate->sourceNames.append(n->name);
        }
    }
    for (const SubDevice& entry : description.taps)
        for (auto tap = d->taps.cbegin(); tap != d->taps.cend(); ++tap)
            if (tap->description.uuid == entry.uid)
                aggregate->tap = tap.key();
    if (aggregate->tap == 0)
        return std::unexpected(HalError::kBadObject);
    aggregate->inputBuffers.append(2);
    aggregate->sourceNames.append(QString());
    for (int channels : aggregate->inputBuffers)
        aggregate->scratch.emplace_back(size_t(kMaxFrames) * size_t(channels), 0.0f);
    aggregate->buffers.resize(size_t(aggregate->inputBuffers.size()));
    const AudioObjectId id = d->nextOwn++;
    d->aggregates.insert(id, aggregate.release());
    return id;
}

HalStatus PipeWireAudioHardware::destroyAggregateDevice(AudioObjectId device)
{
    Locked locked(d->core ? d->loop : nullptr);
    Server::Aggregate* aggregate = d->aggregates.take(device);
    if (!aggregate)
        return HalError::kBadObject;
    d->stopCaptures(*aggregate);
    delete aggregate;
    return 0;
}

PipeWireAudioHardware::CapturedRegion PipeWireAudioHardware::capturedRegion(uint32_t maxSize, uint32_t offset,
                                                                            uint32_t size, int channels)
{
    if (channels < 1 || offset % sizeof(float) != 0)
        return {};
    const uint32_t start = std::min(offset, maxSize);
    const uint32_t bytes = std::min(size, maxSize - start);
    return {uint32_t(start / sizeof(float)), uint32_t(bytes / (sizeof(float) * uint32_t(channels)))};
}

RecorderHAL::Result<RecorderHAL::IOProcId> PipeWireAudioHardware::createIOProc(AudioObjectId device, IOCallback callback)
{
    HARKWELL_REQUIRE_SERVER(std::unexpected(HalError::kNotRunning))
    Server::Aggregate* aggregate = d->aggregates.value(device, nullptr);
    if (!aggregate)
        return std::unexpected(HalError::kBadDevice);
    if (aggregate->proc != 0)
        return std::unexpected(HalError::kIllegalOperation);
    aggregate->proc = d->nextProc++;
    aggregate->callback = std::move(callback);
    return aggregate->proc;
}

HalStatus PipeWireAudioHardware::destroyIOProc(AudioObjectId device, IOProcId proc)
{
    Locked locked(d->core ? d->loop : nullptr);
    Server::Aggregate* aggregate = d->aggregates.value(device, nullptr);
    if (!aggregate || aggregate->proc != proc)
        return HalError::kBadObject;
    d->stopCaptures(*aggregate);
    aggregate->proc = 0;
    aggregate->callback = nullptr;
    return 0;
}

HalStatus PipeWireAudioHardware::startDevice(AudioObjectId device, IOProcId proc)
{
    HARKWELL_REQUIRE_SERVER(HalError::kNotRunning)
    Server::Aggregate* aggregate = d->aggregates.value(device, nullptr);
    if (!aggregate || aggregate->proc != proc)
        return HalError::kBadObject;
    if (!aggregate->captures.empty())
        return 0;
    if (const HalStatus status = d->startCaptures(*aggregate)) {
        d->stopCaptures(*aggregate);
        return status;
    }
    return 0;
}

HalStatus PipeWireAudioHardware::stopDevice(AudioObjectId device, IOProcId proc)
{
    // Callbacks run with the loop's lock held: once it is ours, none runs, and none will.
    Locked locked(d->core ? d->loop : nullptr);
    Server::Aggregate* aggregate = d->aggregates.value(device, nullptr);
    if (!aggregate || aggregate->proc != proc)
        return HalError::kBadObject;
    d->stopCaptures(*aggregate);
    return 0;
}

HalStatus PipeWireAudioHardware::setStreamUsage(AudioObjectId device, IOProcId proc, AudioScope scope,
                                                const QList<bool>&)
{
    Locked locked(d->core ? d->loop : nullptr);
    Server::Aggregate* aggregate = d->aggregates.value(device, nullptr);
    if (!aggregate || aggregate->proc != proc)
        return HalError::kBadObject;
    // Only the streams the recorder reads are ever captured; outputs are never opened.
    Q_UNUSED(scope);
    return 0;
}

RecorderHAL::Result<RecorderHAL::ListenerId> PipeWireAudioHardware::addListener(AudioObjectId object,
                                                                               AudioProperty property, AudioScope,
                                                                               std::function<void()> handler)
{
    const ListenerId id = d->nextListener++;
    d->listeners.insert(id, Server::Listener{object, property, std::move(handler)});
    return id;
}

HalStatus PipeWireAudioHardware::removeListener(ListenerId listener)
{
    return d->listeners.remove(listener) > 0 ? 0 : HalError::kBadObject;
}

QList<RecorderHAL::RunningApplication> PipeWireAudioHardware::runningApplications()
{
    HARKWELL_REQUIRE_SERVER({})
    QList<RunningApplication> apps;
    QSet<qint64> seen;
    for (const Server::Node* n : std::as_const(d->nodes)) {
        if (!n->isPlayback() || n->bundleId.isEmpty() || seen.contains(n->pid))
            continue;
        seen.insert(n->pid);
        apps.append({n->pid, n->bundleId, n->appName, QString()});
    }
    return apps;
}

std::optional<QString> PipeWireAudioHardware::executablePath(qint64 pid)
{
    const QString target = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    return target.isEmpty() ? std::nullopt : std::optional(target);
}

std::optional<QString> PipeWireAudioHardware::processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QString name = QString::fromUtf8(comm.readAll()).trimmed();
    return name.isEmpty() ? std::nullopt : std::optional(name);
}

std::optional<RecorderHAL::Bundle> PipeWireAudioHardware::bundleAt(const QString&) { return std::nullopt; }

}  // namespace harkwell
