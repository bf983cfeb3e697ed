#include "foundation/AppSettings.h"

#include "foundation/JsonFields.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace harkwell {

namespace {

constexpr std::pair<TimeBasis, const char*> kTimeBases[] = {
    {TimeBasis::Modification, "modification"},
    {TimeBasis::Creation, "creation"},
    {TimeBasis::Either, "either"},
};

template <typename T>
void insertIfSet(QJsonObject& object, const char* key, const std::optional<T>& value)
{
    if (value)
        object.insert(QLatin1String(key), *value);
}

void insertIfSet(QJsonObject& object, const char* key, const std::optional<QStringList>& value)
{
    if (value)
        object.insert(QLatin1String(key), QJsonArray::fromStringList(*value));
}

// A raw-valued optional: unset when absent, a failure of the whole record when unknown.
template <typename Enum>
std::optional<Enum> rawValued(JsonFields& fields, const QString& key, std::optional<Enum> (*fromRaw)(const QString&))
{
    const auto raw = fields.optionalString(key);
    if (!raw)
        return std::nullopt;
    const auto value = fromRaw(*raw);
    if (!value)
        fields.fail(key, QStringLiteral("unknown value \"%1\"").arg(*raw));
    return value;
}

}  // namespace

QString toRawValue(TimeBasis basis)
{
    for (const auto& [candidate, raw] : kTimeBases)
        if (candidate == basis)
            return QString::fromLatin1(raw);
    return {};
}

std::optional<TimeBasis> timeBasisFromRaw(const QString& raw)
{
    for (const auto& [candidate, text] : kTimeBases)
        if (raw == QLatin1String(text))
            return candidate;
    return std::nullopt;
}

QList<TimeBasis> allTimeBases() { return {TimeBasis::Modification, TimeBasis::Creation, TimeBasis::Either}; }

QStringList AppSettings::defaultIncludeExtensions()
{
    return {QStringLiteral("md"),  QStringLiteral("txt"),  QStringLiteral("pdf"), QStringLiteral("doc"),
            QStringLiteral("docx"), QStringLiteral("odt"), QStringLiteral("xls"), QStringLiteral("xlsx"),
            QStringLiteral("ods"), QStringLiteral("csv"),  QStringLiteral("ppt"), QStringLiteral("pptx"),
            QStringLiteral("odp"), QStringLiteral("key")};
}

QStringList AppSettings::defaultExcludeDirs()
{
    return {QStringLiteral(".git"),        QStringLiteral(".obsidian"),    QStringLiteral("node_modules"),
            QStringLiteral(".cache"),      QStringLiteral(".config"),      QStringLiteral(".pm2"),
            QStringLiteral(".credentials"), QStringLiteral(".local"),      QStringLiteral(".npm"),
            QStringLiteral(".nvm"),        QStringLiteral(".cargo"),       QStringLiteral(".rustup"),
            QStringLiteral("__pycache__"), QStringLiteral(".venv"),        QStringLiteral("venv"),
            QStringLiteral(".archive"),    QStringLiteral(".velmire"),     QStringLiteral(".claude"),
            QStringLiteral(".build"),      QStringLiteral(".swiftpm")};
}

QJsonObject AppSettings::toJson() const
{
    QJsonObject object{
        {QStringLiteral("vaultPath"), vaultPath},
        {QStringLiteral("vaultName"), vaultName},
        {QStringLiteral("additionalPaths"), QJsonArray::fromStringList(additionalPaths)},
        {QStringLiteral("refreshInterval"), refreshInterval},
        {QStringLiteral("recentDays"), recentDays},
        {QStringLiteral("maxFiles"), maxFiles},
        {QStringLiteral("includeExtensions"), QJsonArray::fromStringList(includeExtensions)},
        {QStringLiteral("excludeDirs"), QJsonArray::fromStringList(excludeDirs)},
    };
    insertIfSet(object, "remotesPath", remotesPath);
    insertIfSet(object, "searchDays", searchDays);
    if (timeBasis)
        object.insert(QStringLiteral("timeBasis"), toRawValue(*timeBasis));
    insertIfSet(object, "excludeFilePatterns", excludeFilePatterns);
    insertIfSet(object, "captureVoiceMemosEnabled", captureVoiceMemosEnabled);
    insertIfSet(object, "captureMirelonEnabled", captureMirelonEnabled);
    insertIfSet(object, "mirelonBaseURL", mirelonBaseUrl);
    insertIfSet(object, "keepVoiceMemosRunning", keepVoiceMemosRunning);
    if (watchedFoldersRaw) {
        QJsonArray folders;
        for (const WatchedFolder& folder : *watchedFoldersRaw)
            folders.append(folder.toJson());
        object.insert(QStringLiteral("watchedFoldersRaw"), folders);
    }
    insertIfSet(object, "inboxGroupThreshold", inboxGroupThreshold);
    insertIfSet(object, "outboxGroupThreshold", outboxGroupThreshold);
    insertIfSet(object, "handoffGroupThreshold", handoffGroupThreshold);
    insertIfSet(object, "todayGroupThreshold", todayGroupThreshold);
    insertIfSet(object, "menuDayLimit", menuDayLimit);
    if (recordingSource)
        object.insert(QStringLiteral("recordingSource"), recordingSource->toJson());
    insertIfSet(object, "recordingIncludeMicrophone", recordingIncludeMicrophone);
    insertIfSet(object, "recordingMicrophoneUID", recordingMicrophoneUid);
    insertIfSet(object, "recordingConsentReminder", recordingConsentReminder);
    insertIfSet(object, "recordingConsentText", recordingConsentText);
    insertIfSet(object, "recordingAutoStopMinutes", recordingAutoStopMinutes);
    insertIfSet(object, "recordingShowWindow", recordingShowWindow);
    insertIfSet(object, "notifyTranscriptReady", notifyTranscriptReady);
    insertIfSet(object, "notifyTranscriptFailed", notifyTranscriptFailed);
    insertIfSet(object, "notifyVoiceMemoSent", notifyVoiceMemoSent);
    insertIfSet(object, "recordingQuickKey", recordingQuickKey);
    if (recordingEchoCancellation)
        object.insert(QStringLiteral("recordingEchoCancellation"), toRawValue(*recordingEchoCancellation));
    insertIfSet(object, "afterTranscriptCommand", afterTranscriptCommand);
    return object;
}

std::expected<AppSettings, DecodeError> AppSettings::fromJson(const QJsonObject& object)
{
    JsonFields fields(object);
    AppSettings s;
    s.vaultPath = fields.string(QStringLiteral("vaultPath"));
    s.vaultName = fields.string(QStringLiteral("vaultName"));
    s.additionalPaths = fields.strings(QStringLiteral("additionalPaths"));
    s.remotesPath = fields.optionalString(QStringLiteral("remotesPath"));
    s.refreshInterval = fields.number(QStringLiteral("refreshInterval"));
    s.recentDays = fields.integer(QStringLiteral("recentDays"));
    s.searchDays = fields.optionalInteger(QStringLiteral("searchDays"));
    s.timeBasis = rawValued(fields, QStringLiteral("timeBasis"), timeBasisFromRaw);
    s.maxFiles = fields.integer(QStringLiteral("maxFiles"));
    s.includeExtensions = fields.strings(QStringLiteral("includeExtensions"));
    s.excludeDirs = fields.strings(QStringLiteral("excludeDirs"));
    s.excludeFilePatterns = fields.optionalStrings(QStringLiteral("excludeFilePatterns"));
    s.captureVoiceMemosEnabled = fields.optionalBoolean(QStringLiteral("captureVoiceMemosEnabled"));
    s.captureMirelonEnabled = fields.optionalBoolean(QStringLiteral("captureMirelonEnabled"));
    s.mirelonBaseUrl = fields.optionalString(QStringLiteral("mirelonBaseURL"));
    s.keepVoiceMemosRunning = fields.optionalBoolean(QStringLiteral("keepVoiceMemosRunning"));
    s.watchedFoldersRaw.reset();
    if (const auto folders = fields.optionalArray(QStringLiteral("watchedFoldersRaw"))) {
        QList<WatchedFolder> list;
        for (qsizetype index = 0; index < folders->size(); ++index) {
            const QString context = QStringLiteral("watchedFoldersRaw[%1]").arg(index);
            if (!folders->at(index).isObject()) {
                fields.fail(context, QStringLiteral("expected an object"));
                break;
            }
            auto folder = WatchedFolder::fromJson(folders->at(index).toObject(), context);
            if (!folder) {
                fields.fail(folder.error());
                break;
            }
            list.append(*folder);
        }
        s.watchedFoldersRaw = list;
    }
    s.inboxGroupThreshold = fields.optionalInteger(QStringLiteral("inboxGroupThreshold"));
    s.outboxGroupThreshold = fields.optionalInteger(QStringLiteral("outboxGroupThreshold"));
    s.handoffGroupThreshold = fields.optionalInteger(QStringLiteral("handoffGroupThreshold"));
    s.todayGroupThreshold = fields.optionalInteger(QStringLiteral("todayGroupThreshold"));
    s.menuDayLimit = fields.optionalInteger(QStringLiteral("menuDayLimit"));
    s.recordingSource.reset();
    if (const auto source = fields.optionalObject(QStringLiteral("recordingSource"))) {
        if (auto decoded = RecordingSource::fromJson(*source))
            s.recordingSource = *decoded;
        else
            fields.fail(QStringLiteral("recordingSource"), decoded.error().text);
    }
    s.recordingIncludeMicrophone = fields.optionalBoolean(QStringLiteral("recordingIncludeMicrophone"));
    s.recordingMicrophoneUid = fields.optionalString(QStringLiteral("recordingMicrophoneUID"));
    s.recordingConsentReminder = fields.optionalBoolean(QStringLiteral("recordingConsentReminder"));
    s.recordingConsentText = fields.optionalString(QStringLiteral("recordingConsentText"));
    s.recordingAutoStopMinutes = fields.optionalInteger(QStringLiteral("recordingAutoStopMinutes"));
    s.recordingShowWindow = fields.optionalBoolean(QStringLiteral("recordingShowWindow"));
    s.notifyTranscriptReady = fields.optionalBoolean(QStringLiteral("notifyTranscriptReady"));
    s.notifyTranscriptFailed = fields.optionalBoolean(QStringLiteral("notifyTranscriptFailed"));
    s.notifyVoiceMemoSent = fields.optionalBoolean(QStringLiteral("notifyVoiceMemoSent"));
    s.recordingQuickKey = fields.optionalBoolean(QStringLiteral("recordingQuickKey"));
    s.recordingEchoCancellation =
        rawValued(fields, QStringLiteral("recordingEchoCancellation"), echoCancellationModeFromRaw);
    s.afterTranscriptCommand = fields.optionalString(QStringLiteral("afterTranscriptCommand"));
    if (!fields.ok())
        return std::unexpected(*fields.error());
    return s;
}

std::expected<AppSettings, DecodeError> AppSettings::decode(const QByteArray& bytes)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return std::unexpected(DecodeError{QStringLiteral("not JSON: %1").arg(parseError.errorString())});
    if (!document.isObject())
        return std::unexpected(DecodeError{QStringLiteral("not a JSON object")});
    return fromJson(document.object());
}

QByteArray AppSettings::encode() const { return QJsonDocument(toJson()).toJson(QJsonDocument::Indented); }

}  // namespace harkwell
