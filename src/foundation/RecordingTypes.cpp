#include "foundation/RecordingTypes.h"

#include "foundation/DateForms.h"
#include "foundation/JsonFields.h"
#include "platform/identity/Identity.h"
#include "platform/paths/Paths.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QSet>

#include <algorithm>
#include <limits>

namespace harkwell {

// ---- RecordingSource

QJsonObject RecordingSource::toJson() const
{
    if (kind == Kind::AllAudio)
        return {{QStringLiteral("allAudio"), QJsonObject()}};
    return {{QStringLiteral("app"), QJsonObject{{QStringLiteral("bundleID"), bundleId}, {QStringLiteral("name"), name}}}};
}

std::expected<RecordingSource, DecodeError> RecordingSource::fromJson(const QJsonObject& object)
{
    const bool hasAll = object.contains(QStringLiteral("allAudio"));
    const bool hasApp = object.contains(QStringLiteral("app"));
    if (int(hasAll) + int(hasApp) != 1)
        return std::unexpected(DecodeError{QString::fromLatin1(kInvalidKeysText)});
    JsonFields fields(object);
    if (hasAll) {
        fields.object(QStringLiteral("allAudio"));
        if (!fields.ok())
            return std::unexpected(*fields.error());
        return allAudio();
    }
    JsonFields app(fields.object(QStringLiteral("app")), QStringLiteral("app"));
    RecordingSource source = RecordingSource::app(app.string(QStringLiteral("bundleID")), app.string(QStringLiteral("name")));
    if (!fields.ok())
        return std::unexpected(*fields.error());
    if (!app.ok())
        return std::unexpected(*app.error());
    return source;
}

size_t qHash(const RecordingSource& source, size_t seed) noexcept
{
    return qHashMulti(seed, int(source.kind), source.bundleId, source.name);
}

// ---- EchoCancellationMode, AudioOutputKind

namespace {
template <typename Enum, size_t N>
QString rawOf(const std::pair<Enum, const char*> (&table)[N], Enum value)
{
    for (const auto& [candidate, raw] : table)
        if (candidate == value)
            return QString::fromLatin1(raw);
    return {};
}

template <typename Enum, size_t N>
std::optional<Enum> fromRaw(const std::pair<Enum, const char*> (&table)[N], const QString& raw)
{
    for (const auto& [candidate, text] : table)
        if (raw == QLatin1String(text))
            return candidate;
    return std::nullopt;
}

constexpr std::pair<EchoCancellationMode, const char*> kEchoModes[] = {
    {EchoCancellationMode::Automatic, "automatic"},
    {EchoCancellationMode::On, "on"},
    {EchoCancellationMode::Off, "off"},
};

constexpr std::pair<AudioOutputKind, const char*> kOutputKinds[] = {
    {AudioOutputKind::BuiltInSpeakers, "builtInSpeakers"},
    {AudioOutputKind::ExternalSpeakers, "externalSpeakers"},
    {AudioOutputKind::Headphones, "headphones"},
    {AudioOutputKind::Unknown, "unknown"},
};
}  // namespace

QString toRawValue(EchoCancellationMode mode) { return rawOf(kEchoModes, mode); }
std::optional<EchoCancellationMode> echoCancellationModeFromRaw(const QString& raw) { return fromRaw(kEchoModes, raw); }
QList<EchoCancellationMode> allEchoCancellationModes()
{
    return {EchoCancellationMode::Automatic, EchoCancellationMode::On, EchoCancellationMode::Off};
}

QString toRawValue(AudioOutputKind kind) { return rawOf(kOutputKinds, kind); }
std::optional<AudioOutputKind> audioOutputKindFromRaw(const QString& raw) { return fromRaw(kOutputKinds, raw); }

// ---- RecordingOptions and the catalog's entries

QJsonObject RecordingOptions::toJson() const
{
    QJsonObject object{{QStringLiteral("source"), source.toJson()}, {QStringLiteral("includeMicrophone"), includeMicrophone}};
    if (microphoneUid)
        object.insert(QStringLiteral("microphoneUID"), *microphoneUid);
    return object;
}

std::expected<RecordingOptions, DecodeError> RecordingOptions::fromJson(const QJsonObject& object)
{
    JsonFields fields(object);
    RecordingOptions options;
    const QJsonObject source = fields.object(QStringLiteral("source"));
    options.includeMicrophone = fields.boolean(QStringLiteral("includeMicrophone"));
    options.microphoneUid = fields.optionalString(QStringLiteral("microphoneUID"));
    if (!fields.ok())
        return std::unexpected(*fields.error());
    auto decoded = RecordingSource::fromJson(source);
    if (!decoded)
        return std::unexpected(decoded.error());
    options.source = *decoded;
    return options;
}

size_t qHash(const RecordingOptions& options, size_t seed) noexcept
{
    return qHashMulti(seed, options.source, options.includeMicrophone, options.microphoneUid.value_or(QString()),
                      options.microphoneUid.has_value());
}

size_t qHash(const AudioApp& app, size_t seed) noexcept
{
    return qHashMulti(seed, app.bundleId, app.name, qHashRange(app.processObjectIds.begin(), app.processObjectIds.end()),
                      app.isPlaying);
}

size_t qHash(const AudioInputDevice& device, size_t seed) noexcept
{
    return qHashMulti(seed, device.uid, device.name, device.isDefault);
}

// ---- RecordingSidecar

namespace {

QJsonValue dateValue(const QDateTime& time) { return DateForms::internetDateTime(time); }

struct DateReader {
    RecordingSidecar::DateDecoding form;

    std::optional<QDateTime> read(JsonFields& fields, const QString& key, bool required) const
    {
        if (form == RecordingSidecar::DateDecoding::ReferenceSeconds) {
            const auto seconds = required ? std::optional(fields.number(key)) : fields.optionalNumber(key);
            if (!fields.ok() || !seconds)
                return std::nullopt;
            return DateForms::fromReferenceSeconds(*seconds);
        }
        const auto text = required ? std::optional(fields.string(key)) : fields.optionalString(key);
        if (!fields.ok() || !text)
            return std::nullopt;
        const auto date =
            DateForms::parseInternetDateTime(*text, form == RecordingSidecar::DateDecoding::Iso8601Fractional);
        if (!date)
            fields.fail(key, QStringLiteral("not an ISO 8601 date"));
        return date;
    }
};

QJsonObject segmentToJson(const RecordingSidecar::Segment& segment)
{
    QJsonObject object{
        {QStringLiteral("file"), segment.file},
        {QStringLiteral("startedAt"), dateValue(segment.startedAt)},
        {QStringLiteral("sampleRate"), segment.sampleRate},
        {QStringLiteral("reason"), segment.reason},
    };
    if (segment.endedAt)
        object.insert(QStringLiteral("endedAt"), dateValue(*segment.endedAt));
    if (segment.micDeviceName)
        object.insert(QStringLiteral("micDeviceName"), *segment.micDeviceName);
    if (segment.source)
        object.insert(QStringLiteral("source"), segment.source->toJson());
    if (segment.channelLayout)
        object.insert(QStringLiteral("channelLayout"), *segment.channelLayout);
    if (segment.echoCancelled)
        object.insert(QStringLiteral("echoCancelled"), *segment.echoCancelled);
    if (segment.echoReferenceDelay)
        object.insert(QStringLiteral("echoReferenceDelay"), *segment.echoReferenceDelay);
    return object;
}

std::expected<RecordingSidecar::Segment, DecodeError> segmentFromJson(const QJsonObject& object, const QString& context,
                                                                       const DateReader& dates)
{
    JsonFields fields(object, context);
    RecordingSidecar::Segment segment;
    segment.file = fields.string(QStringLiteral("file"));
    // Readers join the name to the work folder: anything but one name in it would reach elsewhere.
    if (fields.ok() && !RecordingPaths::isWorkFolderName(segment.file))
        fields.fail(QStringLiteral("file"), QStringLiteral("not a file name in the work folder"));
    segment.startedAt = dates.read(fields, QStringLiteral("startedAt"), true).value_or(QDateTime());
    segment.endedAt = dates.read(fields, QStringLiteral("endedAt"), false);
    segment.sampleRate = fields.number(QStringLiteral("sampleRate"));
    segment.micDeviceName = fields.optionalString(QStringLiteral("micDeviceName"));
    segment.reason = fields.string(QStringLiteral("reason"));
    if (const auto source = fields.optionalObject(QStringLiteral("source"))) {
        if (auto decoded = RecordingSource::fromJson(*source))
            segment.source = *decoded;
        else
            fields.fail(QStringLiteral("source"), decoded.error().text);
    }
    segment.channelLayout = fields.optionalString(QStringLiteral("channelLayout"));
    segment.echoCancelled = fields.optionalBoolean(QStringLiteral("echoCancelled"));
    segment.echoReferenceDelay = fields.optionalNumber(QStringLiteral("echoReferenceDelay"));
    if (!fields.ok())
        return std::unexpected(*fields.error());
    return segment;
}

// A level the file holds beyond what a float holds is brought to the nearer end, so that it stays
// finite and what is written of it reads back.
float asFloat(double value)
{
    return static_cast<float>(std::clamp(value, double(-std::numeric_limits<float>::max()),
                                         double(std::numeric_limits<float>::max())));
}

}  // namespace

QString RecordingSidecar::defaultAppVersion()
{
    const QString version = QString::fromLatin1(identity::kVersion);
    return version.isEmpty() ? QStringLiteral("?") : version;
}

QString RecordingSidecar::channelLayoutWith(const QString& newLayout) const
{
    QSet<QString> layouts{newLayout};
    for (const Segment& segment : segments)
        if (segment.channelLayout)
            layouts.insert(*segment.channelLayout);
    return layouts.size() == 1 ? newLayout : QString::fromLatin1(ChannelLayout::kMixed);
}

QJsonObject RecordingSidecar::toJson() const
{
    QJsonArray segmentArray;
    for (const Segment& segment : segments)
        segmentArray.append(segmentToJson(segment));
    QJsonObject object{
        {QStringLiteral("id"), id},
        {QStringLiteral("startedAt"), dateValue(startedAt)},
        {QStringLiteral("source"), source.toJson()},
        {QStringLiteral("channelLayout"), channelLayout},
        {QStringLiteral("segments"), segmentArray},
        {QStringLiteral("status"), status},
        {QStringLiteral("systemSideSilent"), systemSideSilent},
        {QStringLiteral("micSideSilent"), micSideSilent},
        {QStringLiteral("appVersion"), appVersion},
    };
    if (endedAt)
        object.insert(QStringLiteral("endedAt"), dateValue(*endedAt));
    if (microphoneName)
        object.insert(QStringLiteral("microphoneName"), *microphoneName);
    if (levels)
        object.insert(QStringLiteral("levels"), QJsonObject{
                                                    {QStringLiteral("micPeak"), double(levels->micPeak)},
                                                    {QStringLiteral("micRMS"), double(levels->micRms)},
                                                    {QStringLiteral("systemPeak"), double(levels->systemPeak)},
                                                    {QStringLiteral("systemRMS"), double(levels->systemRms)},
                                                });
    if (submittedParts)
        object.insert(QStringLiteral("submittedParts"), QJsonArray::fromStringList(*submittedParts));
    if (reconstructed)
        object.insert(QStringLiteral("reconstructed"), *reconstructed);
    if (echoCancellation)
        object.insert(QStringLiteral("echoCancellation"), *echoCancellation);
    if (outputKind)
        object.insert(QStringLiteral("outputKind"), *outputKind);
    if (lostSeconds)
        object.insert(QStringLiteral("lostSeconds"), *lostSeconds);
    return object;
}

QByteArray RecordingSidecar::encode() const { return QJsonDocument(toJson()).toJson(QJsonDocument::Indented); }

std::expected<RecordingSidecar, DecodeError> RecordingSidecar::fromJson(const QJsonObject& object, DateDecoding dateForm)
{
    const DateReader dates{dateForm};
    JsonFields fields(object);
    RecordingSidecar sidecar;
    sidecar.id = fields.string(QStringLiteral("id"));
    sidecar.startedAt = dates.read(fields, QStringLiteral("startedAt"), true).value_or(QDateTime());
    sidecar.endedAt = dates.read(fields, QStringLiteral("endedAt"), false);
    const QJsonObject source = fields.object(QStringLiteral("source"));
    if (fields.ok()) {
        if (auto decoded = RecordingSource::fromJson(source))
            sidecar.source = *decoded;
        else
            fields.fail(QStringLiteral("source"), decoded.error().text);
    }
    sidecar.microphoneName = fields.optionalString(QStringLiteral("microphoneName"));
    sidecar.channelLayout = fields.string(QStringLiteral("channelLayout"));
    const QJsonArray segmentArray = fields.array(QStringLiteral("segments"));
    sidecar.segments.clear();
    for (qsizetype index = 0; fields.ok() && index < segmentArray.size(); ++index) {
        const QString context = QStringLiteral("segments[%1]").arg(index);
        if (!segmentArray.at(index).isObject()) {
            fields.fail(context, QStringLiteral("expected an object"));
            break;
        }
        if (auto segment = segmentFromJson(segmentArray.at(index).toObject(), context, dates))
            sidecar.segments.append(*segment);
        else
            fields.fail(segment.error());
    }
    sidecar.status = fields.string(QStringLiteral("status"));
    sidecar.systemSideSilent = fields.boolean(QStringLiteral("systemSideSilent"));
    sidecar.micSideSilent = fields.boolean(QStringLiteral("micSideSilent"));
    if (const auto levels = fields.optionalObject(QStringLiteral("levels"))) {
        JsonFields levelFields(*levels, QStringLiteral("levels"));
        sidecar.levels = LevelsSummary{asFloat(levelFields.number(QStringLiteral("micPeak"))),
                                       asFloat(levelFields.number(QStringLiteral("micRMS"))),
                                       asFloat(levelFields.number(QStringLiteral("systemPeak"))),
                                       asFloat(levelFields.number(QStringLiteral("systemRMS")))};
        if (!levelFields.ok())
            fields.fail(*levelFields.error());
    }
    sidecar.submittedParts = fields.optionalStrings(QStringLiteral("submittedParts"));
    sidecar.reconstructed = fields.optionalBoolean(QStringLiteral("reconstructed"));
    sidecar.echoCancellation = fields.optionalString(QStringLiteral("echoCancellation"));
    sidecar.outputKind = fields.optionalString(QStringLiteral("outputKind"));
    sidecar.lostSeconds = fields.optionalNumber(QStringLiteral("lostSeconds"));
    sidecar.appVersion = fields.string(QStringLiteral("appVersion"));
    if (!fields.ok())
        return std::unexpected(*fields.error());
    return sidecar;
}

std::expected<RecordingSidecar, DecodeError> RecordingSidecar::decode(const QByteArray& bytes, DateDecoding dates)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return std::unexpected(DecodeError{QStringLiteral("not JSON: %1").arg(parseError.errorString())});
    if (!document.isObject())
        return std::unexpected(DecodeError{QStringLiteral("not a JSON object")});
    return fromJson(document.object(), dates);
}

QString RecordingPaths::workFolder(const QString& id) { return Paths::recordingFolder(id); }

bool RecordingPaths::isWorkFolderName(const QString& id)
{
    return !id.isEmpty() && !id.contains(QLatin1Char('/')) && !id.contains(QChar(u'\0')) && id != QLatin1String(".")
           && id != QLatin1String("..");
}

QString recordingCanonicalId(const QDateTime& time)
{
    return QLocale::c().toString(time.toLocalTime(), QStringLiteral("yyMMdd-HHmmss"));
}

}  // namespace harkwell
