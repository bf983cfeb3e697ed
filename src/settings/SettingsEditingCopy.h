#pragma once
// The settings window's working copy of the whole settings record: every key in the form its
// control edits (lists as text, optional keys with their shown default). Loading and saving apply
// the rules that turn one form into the other; nothing here touches the settings file.

#include "foundation/AppSettings.h"
#include "foundation/RecordingTypes.h"
#include "foundation/WatchedFolder.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace harkwell {

class Settings;

struct SettingsEditingCopy {
    QString vaultPath;
    QString vaultName;
    QString additionalPaths;  // one path per line
    QString remotesPath;
    double refreshInterval = 60;
    int recentDays = 7;
    int searchDays = 30;
    TimeBasis timeBasis = TimeBasis::Modification;
    int maxFiles = 500;
    QString includeExtensions;  // comma list
    QString excludeDirs;        // comma list
    QString excludeFiles;       // comma list
    int inboxGroupThreshold = kDefaultGroupThreshold;
    int outboxGroupThreshold = kDefaultGroupThreshold;
    int handoffGroupThreshold = kDefaultGroupThreshold;
    bool keepVoiceMemosRunning = false;
    int todayGroupThreshold = kDefaultGroupThreshold;
    int menuDayLimit = kDefaultMenuDayLimit;
    QList<WatchedFolder> watchedFolders;
    bool captureMirelon = false;
    bool afterTranscriptOn = false;
    QString afterTranscriptCommand;
    QString mirelonBaseUrl;
    RecordingSource recordingSource;
    bool recordingIncludeMicrophone = true;
    std::optional<QString> recordingMicrophoneUid;  // none: the system's default input
    bool recordingConsentReminder = true;
    QString recordingConsentText;
    int recordingAutoStopMinutes = 0;
    bool recordingShowWindow = true;
    bool recordingQuickKey = true;
    bool notifyTranscriptReady = true;
    bool notifyTranscriptFailed = true;
    bool notifyVoiceMemoSent = true;
    EchoCancellationMode recordingEchoCancellation = EchoCancellationMode::Automatic;

    static constexpr int kDefaultGroupThreshold = 15;
    static constexpr int kDefaultMenuDayLimit = 10;
    static constexpr char kDefaultConsentText[] = "Recording. Remember to tell the others you are recording.";

    // The copy the window starts from: the stored record and the settings' derived folder list.
    static SettingsEditingCopy load(const Settings& settings);
    // `stored` with every key overwritten from the copy (the consent text's rule looks at the
    // stored value, so pass the record as it is at the moment of saving).
    AppSettings appliedTo(AppSettings stored) const;
    // `current` with every field the user changed from `loaded` to `edited` taken over, so that a
    // save keeps what another part of the application stored meanwhile in the fields left alone.
    static SettingsEditingCopy withEdits(SettingsEditingCopy current, const SettingsEditingCopy& edited,
                                         const SettingsEditingCopy& loaded);

    bool operator==(const SettingsEditingCopy&) const = default;

    // The folder list's Voice Memos folder is enabled.
    bool voiceMemosEnabled() const;
    bool anyFolderEnabled() const;
    bool hasVoiceMemosFolder() const;

    // Text ⇄ list conversions of the list settings.
    static QString joinLines(const QStringList& items);
    static QStringList splitLines(const QString& text);  // trimmed of blanks, empty lines dropped
    static QString joinCommas(const QStringList& items);
    static QStringList splitCommas(const QString& text);  // trimmed of blanks, empty items dropped
    // Spaces and tabs only: a line break inside a value is the user's.
    static QString trimBlanks(const QString& text);
};

}  // namespace harkwell
