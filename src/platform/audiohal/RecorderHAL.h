#pragma once
// The recorder's hardware layer: audio devices and the properties the recorder reads of them,
// process taps (a capture of what some or all processes play), private aggregate devices that
// join a tap and real devices under one IO callback, property listeners, and the applications the
// audio system sees. The recorder asks the audio system for nothing else. Every test runs on the
// simulation; PipeWire stands behind it on Linux.

#include <QList>
#include <QString>

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>

namespace harkwell {

using AudioObjectId = quint32;
// 0 is success; anything else is the audio system's failure code.
using HalStatus = qint32;

// The four characters of a code, most significant byte first.
constexpr quint32 fourCharCode(const char (&code)[5])
{
    return (quint32(quint8(code[0])) << 24) | (quint32(quint8(code[1])) << 16) | (quint32(quint8(code[2])) << 8)
           | quint32(quint8(code[3]));
}

// What the recorder reads or watches. The codes are the four characters the log lines print.
enum class AudioProperty : quint32 {
    // On the system object.
    Devices = fourCharCode("dev#"),
    DefaultInputDevice = fourCharCode("dIn "),
    DefaultOutputDevice = fourCharCode("dOut"),
    ProcessObjectList = fourCharCode("prs#"),
    ServiceRestarted = fourCharCode("srst"),
    TranslatePidToProcessObject = fourCharCode("id2p"),
    // On a device.
    DeviceUid = fourCharCode("uid "),
    Name = fourCharCode("lnam"),
    IsHidden = fourCharCode("hidn"),
    IsAlive = fourCharCode("livn"),
    StreamConfiguration = fourCharCode("slay"),
    NominalSampleRate = fourCharCode("nsrt"),
    TransportType = fourCharCode("tran"),
    DataSource = fourCharCode("ssrc"),
    Latency = fourCharCode("ltnc"),
    SafetyOffset = fourCharCode("saft"),
    BufferFrameSize = fourCharCode("fsiz"),
    Streams = fourCharCode("stm#"),
    // The physical device a node belongs to: an output and an input with the same one are one
    // piece of hardware (a headset). Unreadable for a node of no device.
    ModelUid = fourCharCode("muid"),
    // On a process object.
    ProcessPid = fourCharCode("ppid"),
    ProcessBundleId = fourCharCode("pbid"),
    ProcessIsRunningOutput = fourCharCode("piro"),
    // On a tap.
    TapFormat = fourCharCode("tfmt"),
    TapDescription = fourCharCode("tdsc"),
};

enum class AudioScope : quint32 {
    Global = fourCharCode("glob"),
    Input = fourCharCode("inpt"),
    Output = fourCharCode("outp"),
};

// Transport types and output data sources, as the hardware reports them.
namespace AudioTransport {
inline constexpr quint32 kBuiltIn = fourCharCode("bltn");
inline constexpr quint32 kThunderbolt = fourCharCode("thun");
inline constexpr quint32 kUsb = fourCharCode("usb ");
inline constexpr quint32 kDisplayPort = fourCharCode("dprt");
inline constexpr quint32 kHdmi = fourCharCode("hdmi");
inline constexpr quint32 kAirPlay = fourCharCode("airp");
inline constexpr quint32 kBluetooth = fourCharCode("blue");
inline constexpr quint32 kBluetoothLE = fourCharCode("blea");
inline constexpr quint32 kVirtual = fourCharCode("virt");
}  // namespace AudioTransport

// Failure codes the backends report, after the hardware layer's own.
namespace HalError {
inline constexpr HalStatus kNotRunning = HalStatus(fourCharCode("stop"));
inline constexpr HalStatus kUnspecified = HalStatus(fourCharCode("what"));
inline constexpr HalStatus kUnknownProperty = HalStatus(fourCharCode("who?"));
inline constexpr HalStatus kBadObject = HalStatus(fourCharCode("!obj"));
inline constexpr HalStatus kBadDevice = HalStatus(fourCharCode("!dev"));
inline constexpr HalStatus kIllegalOperation = HalStatus(fourCharCode("nope"));
inline constexpr HalStatus kParameter = -50;
}  // namespace HalError

namespace AudioDataSource {
inline constexpr quint32 kInternalSpeaker = fourCharCode("ispk");
inline constexpr quint32 kHeadphones = fourCharCode("hdpn");
}  // namespace AudioDataSource

class RecorderHAL {
public:
    static constexpr AudioObjectId kSystemObject = 1;
    static constexpr AudioObjectId kNoObject = 0;

    template <typename T>
    using Result = std::expected<T, HalStatus>;

    // A failing call of the audio system, with its user-facing text.
    struct Failure {
        QString operation;
        HalStatus status = 0;
        // operation + " failed: " + describe(status)
        QString text() const;
    };

    // What a failing status means to someone at the computer, where it says more than the call's
    // name and code (which stay for the log).
    static std::optional<QString> plainWords(HalStatus status);

    struct TapFormat {
        static constexpr quint32 kLinearPcm = fourCharCode("lpcm");
        static constexpr quint32 kFlagIsFloat = 1u << 0;
        static constexpr quint32 kFlagIsNonInterleaved = 1u << 5;

        quint32 formatId = kLinearPcm;
        quint32 formatFlags = kFlagIsFloat;
        quint32 bitsPerChannel = 32;
        quint32 channels = 2;
        double sampleRate = 48000;

        bool interleaved() const { return (formatFlags & kFlagIsNonInterleaved) == 0; }
    };

    // What a tap captures: a stereo mix-down of exactly `processes`, or (exclusive) of every
    // process but them.
    struct TapDescription {
        QString name;
        QString uuid;
        bool isPrivate = true;
        bool exclusive = false;
        bool muted = false;  // false: the tapped audio still plays to the user
        QList<AudioObjectId> processes;
    };

    struct SubDevice {
        QString uid;
        bool driftCompensation = false;
    };

    // A private device that joins real devices and taps under one clock and one IO callback. Its
    // input buffers are the sub-devices' input buffers in order, then each tap's.
    struct AggregateDescription {
        QString name;
        QString uid;
        bool isPrivate = true;
        bool stacked = false;
        bool tapAutoStart = false;
        QList<SubDevice> subDevices;
        QList<SubDevice> taps;  // by the tap description's uuid
        std::optional<QString> clockDeviceUid;
    };

    // One input buffer of an IO callback: interleaved 32-bit floats, valid during the call.
    struct Buffer {
        int64_t channels = 0;
        int64_t byteSize = 0;
        const float* data = nullptr;
        // Frames the system lost since the previous call (a late callback whose audio was
        // dropped); they are not in this buffer.
        int64_t lostFrames = 0;
        // Frames of silence in this buffer standing in for audio the system lost on this side
        // alone (a stream of the aggregate that missed cycles the clock did not).
        int64_t paddedFrames = 0;
    };
    using IOProcId = quint64;  // 0: none
    // Runs on the "harkwell.recorder.io" thread, one call at a time.
    using IOCallback = std::function<void(std::span<const Buffer>)>;
    using ListenerId = quint64;

    // An application as the desktop knows it, with the process that runs it.
    struct RunningApplication {
        qint64 pid = 0;
        QString bundleId;
        QString name;
        QString bundlePath;  // may be empty
    };
    struct Bundle {
        QString bundleId;
        QString displayName;
    };

    virtual ~RecorderHAL() = default;

    // Property reads. An absent value is a failure like any other.
    virtual Result<quint32> readUInt32(AudioObjectId object, AudioProperty property,
                                       AudioScope scope = AudioScope::Global) = 0;
    virtual Result<double> readFloat64(AudioObjectId object, AudioProperty property,
                                       AudioScope scope = AudioScope::Global) = 0;
    virtual Result<QString> readString(AudioObjectId object, AudioProperty property,
                                       AudioScope scope = AudioScope::Global) = 0;
    virtual Result<QList<AudioObjectId>> readObjectList(AudioObjectId object, AudioProperty property,
                                                        AudioScope scope = AudioScope::Global) = 0;
    // The channel count of each buffer of the device's streams in that scope.
    virtual Result<QList<int>> readStreamConfiguration(AudioObjectId device, AudioScope scope) = 0;
    virtual Result<TapFormat> readTapFormat(AudioObjectId tap) = 0;
    virtual Result<AudioObjectId> processObjectForPid(qint64 pid) = 0;
    virtual bool hasProperty(AudioObjectId object, AudioProperty property, AudioScope scope = AudioScope::Global) = 0;

    virtual Result<AudioObjectId> createProcessTap(const TapDescription& description) = 0;
    virtual HalStatus destroyProcessTap(AudioObjectId tap) = 0;
    virtual HalStatus writeTapDescription(AudioObjectId tap, const TapDescription& description) = 0;

    virtual Result<AudioObjectId> createAggregateDevice(const AggregateDescription& description) = 0;
    virtual HalStatus destroyAggregateDevice(AudioObjectId device) = 0;
    // A proc id of 0 with success is possible and means the system gave none.
    virtual Result<IOProcId> createIOProc(AudioObjectId device, IOCallback callback) = 0;
    // Returns once no call of the proc runs any more.
    virtual HalStatus destroyIOProc(AudioObjectId device, IOProcId proc) = 0;
    virtual HalStatus startDevice(AudioObjectId device, IOProcId proc) = 0;
    // Returns once no call of the proc runs any more.
    virtual HalStatus stopDevice(AudioObjectId device, IOProcId proc) = 0;
    virtual HalStatus setStreamUsage(AudioObjectId device, IOProcId proc, AudioScope scope,
                                     const QList<bool>& streamIsOn) = 0;

    // The handler runs on the thread that registered it, after the change.
    virtual Result<ListenerId> addListener(AudioObjectId object, AudioProperty property, AudioScope scope,
                                           std::function<void()> handler) = 0;
    virtual HalStatus removeListener(ListenerId listener) = 0;

    // The desktop's applications, in the desktop's order.
    virtual QList<RunningApplication> runningApplications() = 0;
    virtual std::optional<QString> executablePath(qint64 pid) = 0;
    virtual std::optional<QString> processName(qint64 pid) = 0;
    virtual std::optional<Bundle> bundleAt(const QString& path) = 0;

    // The code's four bytes as text when all are printable ASCII.
    static std::optional<QString> fourCC(quint32 code);
    // "'who?' (2003332927)" for a printable code, else the signed decimal alone.
    static QString describe(HalStatus status);

    // Reads that fail to an absent value.
    std::optional<QString> string(AudioObjectId object, AudioProperty property, AudioScope scope = AudioScope::Global);
    QList<AudioObjectId> objectIds(AudioObjectId object, AudioProperty property, AudioScope scope = AudioScope::Global);
    QList<int> channelsPerBuffer(AudioObjectId device, AudioScope scope);
    std::optional<AudioObjectId> deviceId(const QString& uid);
    // Reads that fail as "Reading '<code>' of audio object <id>".
    std::expected<quint32, Failure> checkedUInt32(AudioObjectId object, AudioProperty property,
                                                  AudioScope scope = AudioScope::Global);
    std::expected<double, Failure> checkedFloat64(AudioObjectId object, AudioProperty property,
                                                  AudioScope scope = AudioScope::Global);
    static Failure readFailure(AudioObjectId object, AudioProperty property, HalStatus status);
    // The property's four characters, or its decimal value when they are not printable.
    static QString propertyText(AudioProperty property);
};

}  // namespace harkwell
