#pragma once
// The recorder's hardware layer on PipeWire. Devices are the server's audio sinks and sources;
// process objects are applications' playback streams; a tap captures the default sink's monitor
// (all audio) or the listed playback streams (one app); an aggregate device is a set of capture
// streams in one scheduling group, clocked by the default sink's monitor, whose IO callback runs
// on the client's data loop thread, named "harkwell.recorder.io" (cut to 15 bytes).
// Without a server every call fails with the "not running" status; nothing waits for one. After
// the server went away (or when it was not there at first), a later call connects anew.

#include "platform/audiohal/RecorderHAL.h"

#include <chrono>
#include <memory>

namespace harkwell {

class PipeWireAudioHardware final : public RecorderHAL {
public:
    static constexpr std::chrono::seconds kConnectTimeout{3};
    static constexpr char kThreadName[] = "harkwell.recorder.io";

    // The whole frames a captured buffer really holds: its chunk's offset and size are the
    // server's word and are kept inside the mapped memory before a sample is read.
    struct CapturedRegion {
        uint32_t firstSample = 0;
        uint32_t frames = 0;
    };
    static CapturedRegion capturedRegion(uint32_t maxSize, uint32_t offset, uint32_t size, int channels);

    // Connects at once; gives up after kConnectTimeout when the server does not answer.
    PipeWireAudioHardware();
    ~PipeWireAudioHardware() override;
    PipeWireAudioHardware(const PipeWireAudioHardware&) = delete;
    PipeWireAudioHardware& operator=(const PipeWireAudioHardware&) = delete;

    // Why there is no audio server to talk to, for the user; none when connected.
    std::optional<QString> connectionError() const;
    // Whether PipeWire's client library could be set up at all; without it nothing ever connects.
    bool hasClient() const;

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

    struct Server;

private:
    std::unique_ptr<Server> d;
};

}  // namespace harkwell
