#pragma once
// The plain values the recorder passes around, and recording.json: the sidecar that describes a
// recording's work folder while it runs, after it stops, and when recovery reads it back.

#include "foundation/DecodeError.h"

#include <QDateTime>
#include <QHashFunctions>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <expected>
#include <optional>

namespace harkwell {

// Where a recording takes its system audio from. Stored as an object with exactly one key naming
// the case, in recording.json and in settings.json alike.
struct RecordingSource {
    enum class Kind { AllAudio, App };
    Kind kind = Kind::AllAudio;
    QString bundleId;  // App only
    QString name;      // App only

    static RecordingSource allAudio() { return {}; }
    static RecordingSource app(QString bundleId, QString name) { return {Kind::App, std::move(bundleId), std::move(name)}; }
    bool isApp() const { return kind == Kind::App; }

    QJsonObject toJson() const;
    static std::expected<RecordingSource, DecodeError> fromJson(const QJsonObject& object);

    // The one-key rule's failure text, as the settings and sidecar readers report it.
    static constexpr char kInvalidKeysText[] = "Invalid number of keys found, expected one.";

    friend bool operator==(const RecordingSource&, const RecordingSource&) = default;
};
size_t qHash(const RecordingSource& source, size_t seed = 0) noexcept;

enum class EchoCancellationMode { Automatic, On, Off };
QString toRawValue(EchoCancellationMode mode);
std::optional<EchoCancellationMode> echoCancellationModeFromRaw(const QString& raw);
// All cases, in the order the settings window lists them.
QList<EchoCancellationMode> allEchoCancellationModes();

enum class AudioOutputKind { BuiltInSpeakers, ExternalSpeakers, Headphones, Unknown };
QString toRawValue(AudioOutputKind kind);
std::optional<AudioOutputKind> audioOutputKindFromRaw(const QString& raw);

struct RecordingOptions {
    RecordingSource source;
    bool includeMicrophone = false;
    std::optional<QString> microphoneUid;  // none: the system's default input

    QJsonObject toJson() const;
    static std::expected<RecordingOptions, DecodeError> fromJson(const QJsonObject& object);
    friend bool operator==(const RecordingOptions&, const RecordingOptions&) = default;
};
size_t qHash(const RecordingOptions& options, size_t seed = 0) noexcept;

struct RecordingState {
    enum class Kind { Idle, Starting, Recording, Paused, Finishing, Failed };
    Kind kind = Kind::Idle;
    QString message;  // Failed only: user-facing

    static RecordingState failed(QString message) { return {Kind::Failed, std::move(message)}; }
    bool isActive() const { return kind == Kind::Recording || kind == Kind::Paused; }
    friend bool operator==(const RecordingState&, const RecordingState&) = default;
};

// One meter reading; linear amplitudes, full scale 1.0.
struct RecordingLevels {
    float micPeak = 0;
    float micRms = 0;
    float systemPeak = 0;
    float systemRms = 0;
    friend bool operator==(const RecordingLevels&, const RecordingLevels&) = default;
};

struct AudioApp {
    QString bundleId;
    QString name;
    QList<quint32> processObjectIds;  // ascending
    bool isPlaying = false;
    friend bool operator==(const AudioApp&, const AudioApp&) = default;
};
size_t qHash(const AudioApp& app, size_t seed = 0) noexcept;

struct AudioInputDevice {
    QString uid;
    QString name;
    bool isDefault = false;
    friend bool operator==(const AudioInputDevice&, const AudioInputDevice&) = default;
};
size_t qHash(const AudioInputDevice& device, size_t seed = 0) noexcept;

// Where a recording stands; kept as plain text so an unknown value survives a round trip.
namespace RecordingStatus {
inline constexpr char kRecording[] = "recording";
inline constexpr char kPaused[] = "paused";
inline constexpr char kStopped[] = "stopped";
inline constexpr char kEncoded[] = "encoded";
inline constexpr char kSent[] = "sent";
inline constexpr char kDiscarded[] = "discarded";
}  // namespace RecordingStatus

// Why a segment was started.
namespace SegmentReason {
inline constexpr char kStart[] = "start";
inline constexpr char kResume[] = "resume";
inline constexpr char kWake[] = "wake";
inline constexpr char kDeviceChange[] = "device-change";
inline constexpr char kEchoChange[] = "echo-change";
inline constexpr char kSourceChange[] = "source-change";
inline constexpr char kMicrophoneOn[] = "microphone-on";
inline constexpr char kMicrophoneOff[] = "microphone-off";
}  // namespace SegmentReason

namespace ChannelLayout {
inline constexpr char kMicrophoneSystem[] = "L=microphone,R=system";
inline constexpr char kSystemStereo[] = "L=system-left,R=system-right";
inline constexpr char kMixed[] = "mixed (see segments)";  // top level only
}  // namespace ChannelLayout

// The record persisted as recording.json in the recording's work folder.
struct RecordingSidecar {
    struct Segment {
        QString file;  // "segment-%03d.caf"
        QDateTime startedAt;
        std::optional<QDateTime> endedAt;
        double sampleRate = 0;
        std::optional<QString> micDeviceName;
        QString reason;
        std::optional<RecordingSource> source;
        std::optional<QString> channelLayout;
        std::optional<bool> echoCancelled;
        std::optional<double> echoReferenceDelay;  // seconds
        friend bool operator==(const Segment&, const Segment&) = default;
    };

    struct LevelsSummary {
        float micPeak = 0;
        float micRms = 0;
        float systemPeak = 0;
        float systemRms = 0;
        friend bool operator==(const LevelsSummary&, const LevelsSummary&) = default;
    };

    // How dates are read; recovery tries them in turn on a file an older build may have written.
    enum class DateDecoding { Iso8601, Iso8601Fractional, ReferenceSeconds };

    QString id;
    QDateTime startedAt;
    std::optional<QDateTime> endedAt;
    RecordingSource source;
    std::optional<QString> microphoneName;
    QString channelLayout = QString::fromLatin1(ChannelLayout::kMicrophoneSystem);
    QList<Segment> segments;
    QString status = QString::fromLatin1(RecordingStatus::kRecording);
    bool systemSideSilent = false;
    bool micSideSilent = false;
    std::optional<LevelsSummary> levels;
    std::optional<QStringList> submittedParts;  // per part, its inbox id or "" when not handed over
    std::optional<bool> reconstructed;
    std::optional<QString> echoCancellation;  // an EchoCancellationMode raw value
    std::optional<QString> outputKind;        // an AudioOutputKind raw value
    // Audio the server never delivered (cycles it skipped), recorded as silence; absent when none.
    std::optional<double> lostSeconds;
    QString appVersion = defaultAppVersion();

    static QString defaultAppVersion();

    // The top-level layout once the newest segment gets `newLayout`: that layout when every
    // segment that carries one agrees with it, else "mixed (see segments)".
    QString channelLayoutWith(const QString& newLayout) const;

    QJsonObject toJson() const;
    // Pretty-printed, keys sorted, dates in UTC to the second: the bytes of recording.json.
    QByteArray encode() const;
    static std::expected<RecordingSidecar, DecodeError> fromJson(const QJsonObject& object,
                                                                 DateDecoding dates = DateDecoding::Iso8601);
    static std::expected<RecordingSidecar, DecodeError> decode(const QByteArray& bytes,
                                                               DateDecoding dates = DateDecoding::Iso8601);

    friend bool operator==(const RecordingSidecar&, const RecordingSidecar&) = default;
};

class RecordingPaths {
public:
    // $XDG_DATA_HOME/harkwell/Recordings/<id>/; only forms the path.
    static QString workFolder(const QString& id);

    // Whether `id` names one folder directly under the recordings folder, nothing above or beside
    // it: what every reader, writer and remover of a work folder checks first.
    static bool isWorkFolderName(const QString& id);
};

// "yyMMdd-HHmmss" in local time, whatever the user's locale: the recording id and the capture id.
QString recordingCanonicalId(const QDateTime& time);

}  // namespace harkwell
