#pragma once
// Every user setting, as one record persisted as settings.json. Eight keys are required; the
// others are optional, left out of the file when unset and given their defaults where they are used.

#include "foundation/DecodeError.h"
#include "foundation/RecordingTypes.h"
#include "foundation/WatchedFolder.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <expected>
#include <optional>

namespace harkwell {

// Which file date the lists and the search go by.
enum class TimeBasis { Modification, Creation, Either };
QString toRawValue(TimeBasis basis);
std::optional<TimeBasis> timeBasisFromRaw(const QString& raw);
QList<TimeBasis> allTimeBases();

// Default-constructed, the record holds the in-code defaults: what runs when no file could be read.
// A file that is read replaces the whole record, so an optional key the file lacks is unset
// afterwards, not its in-code default.
struct AppSettings {
    QString vaultPath = QStringLiteral("~/workspace/Ivander");
    QString vaultName = QStringLiteral("Ivander");
    QStringList additionalPaths{QStringLiteral("~/workspace")};
    std::optional<QString> remotesPath = QStringLiteral("~/workspace/remotes");
    double refreshInterval = 60;  // seconds
    int recentDays = 7;
    std::optional<int> searchDays = 30;
    std::optional<TimeBasis> timeBasis = TimeBasis::Modification;
    int maxFiles = 500;
    QStringList includeExtensions = defaultIncludeExtensions();
    QStringList excludeDirs = defaultExcludeDirs();
    std::optional<QStringList> excludeFilePatterns;
    std::optional<bool> captureVoiceMemosEnabled = false;
    std::optional<bool> captureMirelonEnabled = false;
    std::optional<QString> mirelonBaseUrl;
    std::optional<bool> keepVoiceMemosRunning;
    std::optional<QList<WatchedFolder>> watchedFoldersRaw;
    std::optional<int> inboxGroupThreshold;
    std::optional<int> outboxGroupThreshold;
    std::optional<int> handoffGroupThreshold;
    std::optional<int> todayGroupThreshold;
    std::optional<int> menuDayLimit;
    std::optional<RecordingSource> recordingSource;
    std::optional<bool> recordingIncludeMicrophone;
    std::optional<QString> recordingMicrophoneUid;
    std::optional<bool> recordingConsentReminder;
    std::optional<QString> recordingConsentText;
    std::optional<int> recordingAutoStopMinutes;
    std::optional<bool> recordingShowWindow;
    std::optional<bool> notifyTranscriptReady;
    std::optional<bool> notifyTranscriptFailed;
    std::optional<bool> notifyVoiceMemoSent;
    std::optional<bool> recordingQuickKey;
    std::optional<EchoCancellationMode> recordingEchoCancellation;
    std::optional<QString> afterTranscriptCommand;

    static QStringList defaultIncludeExtensions();
    static QStringList defaultExcludeDirs();

    // The refresh intervals the scanner runs with (seconds): the settings window takes nothing
    // outside them, and a stored value outside them is brought to the nearer end where it is used.
    static constexpr double kShortestRefreshInterval = 0.5;
    static constexpr double kLongestRefreshInterval = 24 * 60 * 60;

    QJsonObject toJson() const;
    // Strict: a missing required key, a wrong type or an unknown raw value fails the whole record.
    // Unknown keys are ignored.
    static std::expected<AppSettings, DecodeError> fromJson(const QJsonObject& object);
    static std::expected<AppSettings, DecodeError> decode(const QByteArray& bytes);
    // Pretty-printed with sorted keys: the bytes of settings.json.
    QByteArray encode() const;

    friend bool operator==(const AppSettings&, const AppSettings&) = default;
};

}  // namespace harkwell
