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
#include <spa/param/route.h>
#include <spa/pod/parser.h>
#include <spa/utils/result.h>

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <string>
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
// Our own capture streams' node name; the registry's view of them is not kept.
constexpr char kCaptureName[] = "harkwell-recorder";
// How often a call may try to reach a server that went away or never answered.
constexpr std::chrono::milliseconds kReconnectInterval{250};

QString prop(const spa_dict* props, const char* key)
{
    const char* value = props ? spa_dict_lookup(props, key) : nullptr;
    return value ? QString::fromUtf8(value) : QString();
}

}  // namespace

// Everything the registry told us, and our own taps and aggregates. Guarded by the thread loop's
// lock: registry events and stream state changes run with it held, and every call from outside
// takes it. Captured audio is handled on the context's data loop, which never takes that lock.
struct PipeWireAudioHardware::Server {
    struct Client {
        qint64 pid = 0;
        QString appId;
        QString binary;
        QString appName;
    };
    struct Node {
        quint32 id = 0;
        QString mediaClass;
        QString name;
        QString description;
        QString serial;
        int channels = 0;
        quint32 clientId = 0;
        quint32 deviceId = 0;
        Client own;  // what the node's own info says of the application
        QString latency;
        quint32 periodSize = 0;
        quint32 headroom = 0;
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
        bool isStream() const { return mediaClass == QLatin1String("Stream/Output/Audio"); }
        // What stands in for an output while the session manager has none (or is not back yet
        // after a restart): nothing a user hears.
        bool isPlaceholder() const { return name == QLatin1String("auto_null") || description == QLatin1String("Dummy Output"); }
    };
    struct ClientProxy {
        quint32 id = 0;
        Client info;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        Server* server = nullptr;
    };
    struct Device {
        quint32 id = 0;
        QString api;
        QString bus;
        QString formFactor;
        QString outputPort;  // the active output route's port type ("speaker", "headphones", "hdmi", …)
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        Server* server = nullptr;
    };
    struct Tap {
        TapDescription description;
    };
    struct Aggregate;
    // One capture stream of an aggregate. Only the data loop touches its samples.
    struct Capture {
        Server* server = nullptr;
        Aggregate* aggregate = nullptr;
        pw_stream* stream = nullptr;
        spa_hook listener{};
        quint32 targetNode = 0;  // the playback stream a tap side captures
        int channels = 2;
        bool isClock = false;
        int buffer = -1;  // the aggregate input buffer it fills; -1 for a clock that only clocks
        bool lost = false;
        std::vector<float> fifo;
        size_t readFrame = 0;
        size_t writeFrame = 0;
        // The graph position after its last buffer, to see cycles it missed.
        uint64_t nextTicks = 0;
        bool hasTicks = false;
        // A side's missed frames, not yet reported.
        int64_t paddedPending = 0;
    };
    struct Aggregate {
        AggregateDescription description;
        QList<int> inputBuffers;
        QList<QString> sourceNames;  // per input buffer: the node to capture, empty for the tap
        AudioObjectId tap = 0;
        IOProcId proc = 0;
        IOCallback callback;
        std::vector<std::unique_ptr<Capture>> owned;  // the thread loop's
        std::vector<Capture*> sides;                  // the data loop's; swapped in by invoke
        std::vector<std::vector<float>> scratch;      // per input buffer
        std::vector<Buffer> buffers;
        bool running = false;
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
    int bindsThisRound = 0;
    std::optional<QString> error;
    std::chrono::steady_clock::time_point lastAttempt{};

    QMap<quint32, Node*> nodes;
    QMap<quint32, ClientProxy*> clients;
    QMap<quint32, Device*> devices;
    // Links by id: the node whose output feeds the other node's input.
    struct Link {
        quint32 outputNode = 0;
        quint32 inputNode = 0;
    };
    QMap<quint32, Link> links;
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
    // A native client puts its process on its client object only; a pulse client's node has it.
    Client application(const Node& n) const
    {
        Client app = n.own;
        if (const ClientProxy* client = clients.value(n.clientId, nullptr)) {
            if (app.pid <= 0)
                app.pid = client->info.pid;
            if (app.appId.isEmpty())
                app.appId = client->info.appId;
            if (app.binary.isEmpty())
                app.binary = client->info.binary;
            if (app.appName.isEmpty())
                app.appName = client->info.appName;
        }
        return app;
    }
    static QString bundleIdOf(const Client& app)
    {
        for (const QString& candidate : {app.appId, app.binary, app.appName})
            if (!candidate.isEmpty())
                return candidate;
        return {};
    }
    // An application's stream that plays for the user: not one that feeds a source (a virtual
    // microphone of a soundboard or a voice changer), which is the user's own voice path.
    bool isPlayback(const Node& n) const { return n.isStream() && application(n).pid > 0 && !feedsSourcesOnly(n); }
    bool feedsSourcesOnly(const Node& n) const
    {
        bool intoSource = false;
        for (const Link& link : links) {
            if (link.outputNode != n.id)
                continue;
            const Node* target = nodes.value(link.inputNode, nullptr);
            if (target && target->isSink())
                return false;
            intoSource = intoSource || (target && target->isSource());
        }
        return intoSource;
    }

    static Client clientFrom(const spa_dict* props)
    {
        Client c;
        c.pid = prop(props, PW_KEY_APP_PROCESS_ID).toLongLong();
        c.appId = prop(props, "pipewire.access.portal.app_id");
        if (c.appId.isEmpty())
            c.appId = prop(props, PW_KEY_APP_ID);
        c.binary = prop(props, PW_KEY_APP_PROCESS_BINARY);
        c.appName = prop(props, PW_KEY_APP_NAME);
        return c;
    }

    // ---- registry ----

    static void onNodeInfo(void* data, const pw_node_info* info)
    {
        auto* n = static_cast<Node*>(data);
        Server* server = n->server;
        if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) && info->props) {
            const bool wasPlayback = server->isPlayback(*n);
            const Client own = clientFrom(info->props);
            if (own.pid > 0 || !own.appName.isEmpty())
                n->own = own;
            if (const quint32 client = prop(info->props, PW_KEY_CLIENT_ID).toUInt())
                n->clientId = client;
            n->latency = prop(info->props, PW_KEY_NODE_LATENCY);
            n->periodSize = prop(info->props, "api.alsa.period-size").toUInt();
            n->headroom = prop(info->props, "api.alsa.headroom").toUInt();
            if (n->isStream() && server->isPlayback(*n) != wasPlayback)
                server->notify(RecorderHAL::kSystemObject, AudioProperty::ProcessObjectList);
        }
        const bool running = info->state == PW_NODE_STATE_RUNNING;
        if (running != n->running) {
            n->running = running;
            n->server->notify(n->id + kNodeOffset, AudioProperty::ProcessIsRunningOutput);
        }
    }

    static void onClientInfo(void* data, const pw_client_info* info)
    {
        auto* c = static_cast<ClientProxy*>(data);
        if (!(info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) || !info->props)
            return;
        c->info = clientFrom(info->props);
        c->server->notify(RecorderHAL::kSystemObject, AudioProperty::ProcessObjectList);
    }

    static void onDeviceInfo(void* data, const pw_device_info* info)
    {
        auto* d = static_cast<Device*>(data);
        if ((info->change_mask & PW_DEVICE_CHANGE_MASK_PROPS) && info->props) {
            d->api = prop(info->props, PW_KEY_DEVICE_API);
            d->bus = prop(info->props, PW_KEY_DEVICE_BUS);
            d->formFactor = prop(info->props, PW_KEY_DEVICE_FORM_FACTOR);
        }
        if (info->change_mask & PW_DEVICE_CHANGE_MASK_PARAMS) {
            uint32_t ids[1] = {SPA_PARAM_Route};
            pw_device_subscribe_params(reinterpret_cast<pw_device*>(d->proxy), ids, 1);
        }
    }

    static void onDeviceParam(void* data, int, uint32_t id, uint32_t, uint32_t, const spa_pod* param)
    {
        auto* d = static_cast<Device*>(data);
        if (id != SPA_PARAM_Route || !param)
            return;
        const QString port = routePort(param);
        if (port.isNull() || port == d->outputPort)
            return;
        d->outputPort = port;
        for (const Node* n : std::as_const(d->server->nodes))
            if (n->deviceId == d->id && n->isSink())
                d->server->notify(n->id + kNodeOffset, AudioProperty::DataSource);
    }

    // The port type of an active output route ("headphones", "speaker", "hdmi", …), else null.
    static QString routePort(const spa_pod* param)
    {
        uint32_t direction = 0;
        const char* name = nullptr;
        const spa_pod* info = nullptr;
        if (spa_pod_parse_object(param, SPA_TYPE_OBJECT_ParamRoute, nullptr, SPA_PARAM_ROUTE_direction,
                                 SPA_POD_Id(&direction), SPA_PARAM_ROUTE_name, SPA_POD_String(&name),
                                 SPA_PARAM_ROUTE_info, SPA_POD_OPT_Pod(&info))
            < 0)
            return {};
        if (direction != SPA_DIRECTION_OUTPUT)
            return {};
        if (info && spa_pod_is_struct(info)) {
            spa_pod_parser parser;
            spa_pod_frame frame;
            int32_t count = 0;
            spa_pod_parser_pod(&parser, info);
            if (spa_pod_parser_push_struct(&parser, &frame) == 0 && spa_pod_parser_get_int(&parser, &count) == 0) {
                for (int32_t i = 0; i < count; ++i) {
                    const char* key = nullptr;
                    const char* value = nullptr;
                    if (spa_pod_parser_get_string(&parser, &key) < 0 || spa_pod_parser_get_string(&parser, &value) < 0)
                        break;
                    if (key && value && std::strcmp(key, "port.type") == 0)
                        return QString::fromUtf8(value);
                }
            }
        }
        const QString route = name ? QString::fromUtf8(name).toLower() : QString();
        for (const char* word : {"headphones", "headset", "speaker", "hdmi"})
            if (route.contains(QLatin1String(word)))
                return QString::fromLatin1(word);
        return QStringLiteral("unknown");
    }

    template <typename Events, typename Object>
    pw_proxy* bind(uint32_t id, const char* type, uint32_t version, const Events& events, Object* object, spa_hook& hook)
    {
        auto* proxy = static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, version, 0));
        if (proxy) {
            pw_proxy_add_object_listener(proxy, &hook, &events, object);
            ++bindsThisRound;
        }
        return proxy;
    }

    static void onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props)
    {
        auto* server = static_cast<Server*>(data);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Device) == 0) {
            auto* d = new Device;
            d->id = id;
            d->server = server;
            d->api = prop(props, PW_KEY_DEVICE_API);
            static const pw_device_events events = [] {
                pw_device_events e{};
                e.version = PW_VERSION_DEVICE_EVENTS;
                e.info = &Server::onDeviceInfo;
                e.param = &Server::onDeviceParam;
                return e;
            }();
            d->proxy = server->bind(id, PW_TYPE_INTERFACE_Device, PW_VERSION_DEVICE, events, d, d->listener);
            server->devices.insert(id, d);
            return;
        }
        if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
            auto* c = new ClientProxy;
            c->id = id;
            c->server = server;
            c->info = clientFrom(props);
            static const pw_client_events events = [] {
                pw_client_events e{};
                e.version = PW_VERSION_CLIENT_EVENTS;
                e.info = &Server::onClientInfo;
                return e;
            }();
            c->proxy = server->bind(id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, events, c, c->listener);
            server->clients.insert(id, c);
            return;
        }
        if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
            if (prop(props, PW_KEY_METADATA_NAME) == QLatin1String("default") && !server->metadata) {
                static const pw_metadata_events events = {PW_VERSION_METADATA_EVENTS, &Server::onMetadata};
                server->metadata = reinterpret_cast<pw_metadata*>(server->bind(
                    id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, events, server, server->metadataListener));
            }
            return;
        }
        if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
            const Link link{prop(props, PW_KEY_LINK_OUTPUT_NODE).toUInt(), prop(props, PW_KEY_LINK_INPUT_NODE).toUInt()};
            server->links.insert(id, link);
            if (const Node* from = server->nodes.value(link.outputNode, nullptr); from && from->isStream())
                server->notify(RecorderHAL::kSystemObject, AudioProperty::ProcessObjectList);
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
        n->deviceId = prop(props, PW_KEY_DEVICE_ID).toUInt();
        n->clientId = prop(props, PW_KEY_CLIENT_ID).toUInt();
        n->own = clientFrom(props);
        if ((!n->isSink() && !n->isSource() && !n->isStream()) || n->name == QLatin1String(kCaptureName)) {
            delete n;
            return;
        }
        static const pw_node_events events = [] {
            pw_node_events e{};
            e.version = PW_VERSION_NODE_EVENTS;
            e.info = &Server::onNodeInfo;
            return e;
        }();
        n->proxy = server->bind(id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, events, n, n->listener);
        server->nodes.insert(id, n);
        server->notify(RecorderHAL::kSystemObject, n->isStream() ? AudioProperty::ProcessObjectList : AudioProperty::Devices);
    }

    static void onGlobalRemove(void* data, uint32_t id)
    {
        auto* server = static_cast<Server*>(data);
        if (Device* d = server->devices.take(id))
            server->drop(d);
        if (ClientProxy* c = server->clients.take(id))
            server->drop(c);
        if (const auto link = server->links.constFind(id); link != server->links.cend()) {
            const Node* from = server->nodes.value(link->outputNode, nullptr);
            server->links.erase(link);
            if (from && from->isStream())
                server->notify(RecorderHAL::kSystemObject, AudioProperty::ProcessObjectList);
            return;
        }
        Node* n = server->nodes.take(id);
        if (!n)
            return;
        server->notify(RecorderHAL::kSystemObject, n->isStream() ? AudioProperty::ProcessObjectList : AudioProperty::Devices);
        server->drop(n);
    }

    template <typename Object>
    void drop(Object* object)
    {
        if (object->proxy) {
            spa_hook_remove(&object->listener);
            pw_proxy_destroy(object->proxy);
        }
        delete object;
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
        // The server went away: everything we hold is gone with it. The next call connects anew.
        server->broken = true;
        server->error = QStringLiteral("The PipeWire audio server closed the connection (%1).").arg(QString::fromUtf8(message));
        server->notify(RecorderHAL::kSystemObject, AudioProperty::ServiceRestarted);
        pw_thread_loop_signal(server->loop, false);
    }

    // ---- connection ----

    // Connects and waits until the registry, the objects bound from it and the default devices
    // have all been told; the thread loop's lock is held.
    bool connect()
    {
        lastAttempt = std::chrono::steady_clock::now();
        core = pw_context_connect(context, nullptr, 0);
        if (!core) {
            error = QStringLiteral("No PipeWire audio server is running (%1).").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        broken = false;
        static const pw_core_events coreEvents = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.done = &Server::onCoreDone;
            e.error = &Server::onCoreError;
            return e;
        }();
        pw_core_add_listener(core, &coreListener, &coreEvents, this);
        registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
        static const pw_registry_events registryEvents = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global = &Server::onGlobal;
            e.global_remove = &Server::onGlobalRemove;
            return e;
        }();
        pw_registry_add_listener(registry, &registryListener, &registryEvents, this);
        timespec deadline{};
        pw_thread_loop_get_time(loop, &deadline, std::chrono::nanoseconds(kConnectTimeout).count());
        // A round trip answers what was asked before it: the globals, then what binding them told
        // (a node's application, the default devices), then anything bound in that answer.
        bool answered = true;
        for (int round = 0; round < 4 && answered; ++round) {
            bindsThisRound = 0;
            synced = false;
            syncSeq = pw_core_sync(core, PW_ID_CORE, syncSeq + 1);
            while (!synced && !broken)
                if (pw_thread_loop_timed_wait_full(loop, &deadline) == -ETIMEDOUT)
                    break;
            answered = synced && !broken;
            if (answered && bindsThisRound == 0)
                break;
        }
        if (!answered) {
            if (!broken)
                error = QStringLiteral("The PipeWire audio server did not answer within %1 seconds.").arg(kConnectTimeout.count());
            return false;
        }
        error.reset();
        return true;
    }

    // Lets go of everything the connection held; our taps, aggregates and listeners stay.
    void disconnect()
    {
        for (Aggregate* aggregate : std::as_const(aggregates))
            stopCaptures(*aggregate);
        for (Node* n : std::as_const(nodes))
            drop(n);
        for (ClientProxy* c : std::as_const(clients))
            drop(c);
        for (Device* d : std::as_const(devices))
            drop(d);
        nodes.clear();
        clients.clear();
        devices.clear();
        links.clear();
        if (metadata) {
            spa_hook_remove(&metadataListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata));
            metadata = nullptr;
        }
        if (registry) {
            spa_hook_remove(&registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
            registry = nullptr;
        }
        if (core) {
            spa_hook_remove(&coreListener);
            pw_core_disconnect(core);
            core = nullptr;
        }
        defaultSink.clear();
        defaultSource.clear();
        synced = false;
    }

    // After the server went away (or never answered), a call connects again, at most every
    // kReconnectInterval so that a missing server costs one failed connect per interval.
    bool ready()
    {
        if (!context)
            return false;
        if (core && synced && !broken)
            return true;
        if (core && !broken && !synced)
            return false;  // the first connection timed out; the server is there but silent
        if (std::chrono::steady_clock::now() - lastAttempt < kReconnectInterval)
            return false;
        const bool hadServer = core != nullptr;
        disconnect();
        if (!connect()) {
            if (core && !broken)
                return false;
            disconnect();
            return false;
        }
        if (hadServer) {
            notify(RecorderHAL::kSystemObject, AudioProperty::Devices);
            notify(RecorderHAL::kSystemObject, AudioProperty::ProcessObjectList);
        }
        return true;
    }

    // ---- capture ----

    // Runs fn on the data loop while no capture is processing there.
    template <typename Fn>
    void onDataLoop(Fn fn)
    {
        pw_loop* data = pw_data_loop_get_loop(pw_context_get_data_loop(context));
        pw_loop_invoke(
            data,
            [](spa_loop*, bool, uint32_t, const void*, size_t, void* user) {
                (*static_cast<Fn*>(user))();
                return 0;
            },
            0, nullptr, 0, true, &fn);
    }

    static void onProcess(void* data)
    {
        auto* capture = static_cast<Capture*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(capture->stream);
        if (!buffer)
            return;
        int64_t lost = 0;
        pw_time time{};
        const bool timed = pw_stream_get_time_n(capture->stream, &time, sizeof(time)) == 0 && time.rate.num > 0
                           && time.rate.denom > 0;
        const double ticksPerFrame = timed ? double(time.rate.denom) / (double(time.rate.num) * kRate) : 0;
        if (timed && capture->hasTicks && time.ticks > capture->nextTicks) {
            lost = int64_t(double(time.ticks - capture->nextTicks) / ticksPerFrame);
            if (lost > int64_t(kRate) * 10)
                lost = 0;  // the graph's clock started again, not cycles of ours lost
        }
        const spa_data& plane = buffer->buffer->datas[0];
        const auto* samples = static_cast<const float*>(plane.data);
        uint32_t frames = 0;
        if (samples && plane.chunk) {
            const auto region = capturedRegion(plane.maxsize, plane.chunk->offset, plane.chunk->size, capture->channels);
            frames = std::min(region.frames, kMaxFrames);
            if (frames > 0)
                capture->server->captured(*capture, samples + region.firstSample, frames, lost);
        }
        if (timed) {
            // The next cycle starts where this one's audio ends.
            capture->nextTicks = time.ticks + uint64_t(double(frames) * ticksPerFrame + 0.5);
            capture->hasTicks = true;
        }
        pw_stream_queue_buffer(capture->stream, buffer);
    }

    void captured(Capture& capture, const float* samples, uint32_t frames, int64_t lost)
    {
        const size_t capacity = kFifoFrames;
        if (!capture.isClock) {
            const size_t channels = size_t(capture.channels);
            // Cycles this side missed: the clock's next cycles find its fifo short and pad it
            // with silence; they are counted there.
            capture.paddedPending += std::max<int64_t>(lost, 0);
            for (uint32_t f = 0; f < frames; ++f) {
                if (capture.writeFrame - capture.readFrame >= capacity)
                    ++capture.readFrame;  // a side that runs ahead loses its oldest audio
                std::memcpy(&capture.fifo[(capture.writeFrame % capacity) * channels], samples + f * channels,
                            channels * sizeof(float));
                ++capture.writeFrame;
            }
            return;
        }
        Aggregate& aggregate = *capture.aggregate;
        if (!aggregate.callback)
            return;
        for (qsizetype b = 0; b < aggregate.inputBuffers.size(); ++b)
            std::fill_n(aggregate.scratch[size_t(b)].begin(), size_t(frames) * size_t(aggregate.inputBuffers[b]), 0.0f);
        // The clock's own audio when it is the tap, then every side for as much as it has.
        auto add = [&](const Capture& from, const float* source, size_t available) {
            if (from.buffer < 0)
                return;
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
        int64_t padded = 0;
        for (Capture* other : aggregate.sides) {
            const size_t available = other->writeFrame - other->readFrame;
            add(*other, nullptr, available);
            other->readFrame += std::min<size_t>(available, frames);
            padded = std::max(padded, std::exchange(other->paddedPending, 0));
        }
        // Cycles the whole graph skipped are the clock's to report; a side counts what it alone missed.
        padded = std::max<int64_t>(padded - lost, 0);
        for (qsizetype b = 0; b < aggregate.inputBuffers.size(); ++b)
            aggregate.buffers[size_t(b)] = Buffer{aggregate.inputBuffers[b],
                                                 int64_t(frames) * aggregate.inputBuffers[b] * int64_t(sizeof(float)),
                                                 aggregate.scratch[size_t(b)].data(), lost, padded};
        aggregate.callback(std::span<const Buffer>(aggregate.buffers));
    }

    static void onStreamState(void* data, pw_stream_state, pw_stream_state state, const char*)
    {
        auto* capture = static_cast<Capture*>(data);
        // Kept on its target, a capture whose target went away stays unconnected: for the engine
        // that is a change of devices, to be looked at and rebuilt.
        if ((state == PW_STREAM_STATE_UNCONNECTED || state == PW_STREAM_STATE_ERROR) && !capture->lost) {
            capture->lost = true;
            capture->server->notify(RecorderHAL::kSystemObject, AudioProperty::Devices);
        }
    }

    bool connectCapture(Aggregate& aggregate, Capture& capture, const QString& target, bool monitor)
    {
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Communication",
            PW_KEY_NODE_NAME, kCaptureName, PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
        if (!target.isEmpty())
            pw_properties_set(props, PW_KEY_TARGET_OBJECT, target.toUtf8().constData());
        if (monitor)
            pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
        // One group: the server drives every capture of the aggregate from one clock, as one
        // device. Apart, each side would follow its own device's clock and the sides drift.
        pw_properties_setf(props, PW_KEY_NODE_GROUP, "harkwell-recorder-%p", static_cast<void*>(&aggregate));
        capture.stream = pw_stream_new(core, "harkwell recorder", props);
        if (!capture.stream)
            return false;
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &Server::onStreamState;
            e.process = &Server::onProcess;
            return e;
        }();
        pw_stream_add_listener(capture.stream, &capture.listener, &events, &capture);
        if (!capture.isClock)
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
            pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS), params, 1);
        return result >= 0;
    }

    static void destroyStream(Capture& capture)
    {
        if (capture.stream) {
            // Takes the stream off the data loop before returning: no process call runs after it.
            spa_hook_remove(&capture.listener);
            pw_stream_destroy(capture.stream);
            capture.stream = nullptr;
        }
    }

    void publishSides(Aggregate& aggregate)
    {
        std::vector<Capture*> sides;
        for (auto& capture : aggregate.owned)
            if (!capture->isClock)
                sides.push_back(capture.get());
        onDataLoop([&] { std::swap(aggregate.sides, sides); });
    }

    void stopCaptures(Aggregate& aggregate)
    {
        // The clock first: once it is gone no callback reads the sides.
        for (auto& capture : aggregate.owned)
            if (capture->isClock)
                destroyStream(*capture);
        for (auto& capture : aggregate.owned)
            destroyStream(*capture);
        aggregate.sides.clear();
        aggregate.owned.clear();
        aggregate.running = false;
    }

    // The playback streams a tap captures, by node id, with the target each is captured by.
    QList<QPair<quint32, QString>> tapStreams(const Tap& tap) const
    {
        QList<QPair<quint32, QString>> streams;
        for (AudioObjectId process : tap.description.processes)
            if (const Node* n = node(process); n && isPlayback(*n))
                streams.append({n->id, n->serial.isEmpty() ? QString::number(n->id) : n->serial});
        return streams;
    }

    bool addTapSide(Aggregate& aggregate, quint32 nodeId, const QString& target)
    {
        auto capture = std::make_unique<Capture>();
        capture->channels = 2;
        capture->targetNode = nodeId;
        capture->buffer = int(aggregate.inputBuffers.size()) - 1;
        Capture& added = *capture;
        aggregate.owned.push_back(std::move(capture));
        return connectCapture(aggregate, added, target, false);
    }

    HalStatus startCaptures(Aggregate& aggregate)
    {
        const auto tap = taps.constFind(aggregate.tap);
        if (tap == taps.cend())
            return HalError::kBadObject;
        if (defaultSink.isEmpty() || !nodeNamed(defaultSink))
            return HalError::kBadDevice;
        const int tapBuffer = int(aggregate.inputBuffers.size()) - 1;
        // The default sink's monitor is the clock whatever is recorded: it runs while nothing
        // plays, so the microphone and the time go on when an app falls silent or quits.
        auto clock = std::make_unique<Capture>();
        clock->channels = 2;
        clock->isClock = true;
        clock->buffer = tap->description.exclusive ? tapBuffer : -1;
        Capture& clockCapture = *clock;
        aggregate.owned.push_back(std::move(clock));
        if (!connectCapture(aggregate, clockCapture, defaultSink, true))
            return HalError::kUnspecified;
        if (!tap->description.exclusive) {
            const auto streams = tapStreams(*tap);
            if (streams.isEmpty())
                return HalError::kBadObject;
            for (const auto& [nodeId, target] : streams)
                if (!addTapSide(aggregate, nodeId, target))
                    return HalError::kUnspecified;
        }
        for (qsizetype b = 0; b < aggregate.sourceNames.size(); ++b) {
            if (aggregate.sourceNames[b].isEmpty())
                continue;
            auto capture = std::make_unique<Capture>();
            capture->channels = aggregate.inputBuffers[b];
            capture->buffer = int(b);
            Capture& added = *capture;
            aggregate.owned.push_back(std::move(capture));
            if (!connectCapture(aggregate, added, aggregate.sourceNames[b], false))
                return HalError::kUnspecified;
        }
        publishSides(aggregate);
        aggregate.running = true;
        return 0;
    }

    // A running one-app capture follows the tap's new list of playback streams at once.
    HalStatus followTap(AudioObjectId tapId)
    {
        const auto tap = taps.constFind(tapId);
        if (tap == taps.cend() || tap->description.exclusive)
            return 0;
        const auto streams = tapStreams(*tap);
        for (Aggregate* aggregate : std::as_const(aggregates)) {
            if (aggregate->tap != tapId || !aggregate->running)
                continue;
            QSet<quint32> wanted;
            for (const auto& stream : streams)
                wanted.insert(stream.first);
            std::vector<std::unique_ptr<Capture>> leaving;
            for (auto it = aggregate->owned.begin(); it != aggregate->owned.end();) {
                if ((*it)->targetNode != 0 && !wanted.contains((*it)->targetNode)) {
                    leaving.push_back(std::move(*it));
                    it = aggregate->owned.erase(it);
                } else {
                    wanted.remove((*it)->targetNode);
                    ++it;
                }
            }
            HalStatus status = 0;
            for (const auto& [nodeId, target] : streams)
                if (wanted.contains(nodeId) && !addTapSide(*aggregate, nodeId, target))
                    status = HalError::kUnspecified;
            publishSides(*aggregate);
            for (auto& capture : leaving)
                destroyStream(*capture);
            if (status)
                return status;
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
        if (d->context)
            pw_context_destroy(d->context);
        d->context = nullptr;
        return;
    }
    Locked locked(d->loop);
    // Captured audio is handled on the context's data loop: it carries the IO thread's name.
    d->onDataLoop([] { pthread_setname_np(pthread_self(), std::string(kThreadName).substr(0, 15).c_str()); });
    d->connect();
}

PipeWireAudioHardware::~PipeWireAudioHardware()
{
    if (d->loop)
        pw_thread_loop_stop(d->loop);
    if (d->context)
        d->disconnect();
    qDeleteAll(d->aggregates);
    if (d->context)
        pw_context_destroy(d->context);
    if (d->loop)
        pw_thread_loop_destroy(d->loop);
}

std::optional<QString> PipeWireAudioHardware::connectionError() const
{
    Locked locked(d->context ? d->loop : nullptr);
    return d->error;
}

bool PipeWireAudioHardware::hasClient() const { return d->context != nullptr; }

#define HARKWELL_REQUIRE_SERVER(failure)        \
    Locked locked(d->context ? d->loop : nullptr); \
    if (!d->ready())                                \
        return failure;

namespace {

quint32 transportOf(const PipeWireAudioHardware::Server::Device* device, const QString& nodeName)
{
    if (!device)
        return AudioTransport::kVirtual;  // a node of no device: a null sink, a filter, a network sink
    if (device->api.startsWith(QLatin1String("bluez5")))
        return AudioTransport::kBluetooth;
    if (device->bus == QLatin1String("usb"))
        return AudioTransport::kUsb;
    if (device->outputPort == QLatin1String("hdmi") || nodeName.contains(QLatin1String("hdmi"), Qt::CaseInsensitive))
        return AudioTransport::kHdmi;
    if (device->bus == QLatin1String("pci") || device->bus == QLatin1String("platform")
        || device->formFactor == QLatin1String("internal") || device->api == QLatin1String("alsa"))
        return AudioTransport::kBuiltIn;
    return AudioTransport::kVirtual;
}

std::optional<quint32> dataSourceOf(const PipeWireAudioHardware::Server::Device* device)
{
    if (!device)
        return std::nullopt;
    if (device->outputPort == QLatin1String("speaker"))
        return AudioDataSource::kInternalSpeaker;
    if (device->outputPort == QLatin1String("headphones") || device->outputPort == QLatin1String("headset"))
        return AudioDataSource::kHeadphones;
    return std::nullopt;
}

}  // namespace

RecorderHAL::Result<quint32> PipeWireAudioHardware::readUInt32(AudioObjectId object, AudioProperty property,
                                                              AudioScope)
{
    HARKWELL_REQUIRE_SERVER(std::unexpected(HalError::kNotRunning))
    if (object == kSystemObject) {
        if (property == AudioProperty::DefaultOutputDevice) {
            const Server::Node* sink = d->nodeNamed(d->defaultSink);
            return sink && sink->isPlaceholder() ? AudioObjectId(0) : d->deviceObject(d->defaultSink);
        }
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
    const Server::Device* device = d->devices.value(n->deviceId, nullptr);
    switch (property) {
    case AudioProperty::ProcessPid: return quint32(d->application(*n).pid);
    case AudioProperty::ProcessIsRunningOutput: return quint32(n->running ? 1 : 0);
    case AudioProperty::IsHidden: return 0u;
    case AudioProperty::IsAlive: return 1u;
    case AudioProperty::TransportType: return transportOf(device, n->name);
    case AudioProperty::DataSource: {
        const std::optional<quint32> source = dataSourceOf(device);
        if (!source)
            return std::unexpected(HalError::kUnknownProperty);
        return *source;
    }
    case AudioProperty::Latency: return n->headroom;
    case AudioProperty::SafetyOffset: return 0u;
    case AudioProperty::BufferFrameSize: {
        // The node's own quantum ("256/48000"), else the sound card's period, else the graph's default.
        const quint32 quantum = n->latency.section(QLatin1Char('/'), 0, 0).toUInt();
        return quantum > 0 ? quantum : n->periodSize > 0 ? n->periodSize : 1024u;
    }
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
    case AudioProperty::ModelUid:
        if (n->deviceId == 0)
            return std::unexpected(HalError::kUnknownProperty);
        return QStringLiteral("pipewire-device-%1").arg(n->deviceId);
    case AudioProperty::Name:
        if (n->description.isEmpty())
            return std::unexpected(HalError::kUnknownProperty);
        return n->description;
    case AudioProperty::ProcessBundleId: return Server::bundleIdOf(d->application(*n));
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
            if (property == AudioProperty::Devices ? device : d->isPlayback(*n))
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
        if (d->isPlayback(*n) && d->application(*n).pid == pid)
            return n->id + kNodeOffset;
    return kNoObject;
}

bool PipeWireAudioHardware::hasProperty(AudioObjectId object, AudioProperty property, AudioScope)
{
    HARKWELL_REQUIRE_SERVER(false)
    // A sound card's output route tells speakers and headphones apart; nothing else does.
    if (property == AudioProperty::DataSource) {
        const Server::Node* n = d->node(object);
        return n && dataSourceOf(d->devices.value(n->deviceId, nullptr)).has_value();
    }
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
    Locked locked(d->context ? d->loop : nullptr);
    return d->taps.remove(tap) > 0 ? 0 : HalError::kBadObject;
}

HalStatus PipeWireAudioHardware::writeTapDescription(AudioObjectId tap, const TapDescription& description)
{
    HARKWELL_REQUIRE_SERVER(HalError::kNotRunning)
    const auto it = d->taps.find(tap);
    if (it == d->taps.end())
        return HalError::kBadObject;
    it->description = description;
    return d->followTap(tap);
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
    Locked locked(d->context ? d->loop : nullptr);
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
    Locked locked(d->context ? d->loop : nullptr);
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
    if (aggregate->running)
        return 0;
    if (const HalStatus status = d->startCaptures(*aggregate)) {
        d->stopCaptures(*aggregate);
        return status;
    }
    return 0;
}

HalStatus PipeWireAudioHardware::stopDevice(AudioObjectId device, IOProcId proc)
{
    // Destroying a capture takes it off the data loop first: once stopped, no callback runs.
    Locked locked(d->context ? d->loop : nullptr);
    Server::Aggregate* aggregate = d->aggregates.value(device, nullptr);
    if (!aggregate || aggregate->proc != proc)
        return HalError::kBadObject;
    d->stopCaptures(*aggregate);
    return 0;
}

HalStatus PipeWireAudioHardware::setStreamUsage(AudioObjectId device, IOProcId proc, AudioScope scope,
                                                const QList<bool>&)
{
    Locked locked(d->context ? d->loop : nullptr);
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
        const Server::Client app = d->application(*n);
        const QString bundleId = Server::bundleIdOf(app);
        if (!d->isPlayback(*n) || bundleId.isEmpty() || seen.contains(app.pid))
            continue;
        seen.insert(app.pid);
        apps.append({app.pid, bundleId, app.appName, QString()});
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
