#include "settings/SettingsEditingCopy.h"

#include "foundation/Settings.h"

#include <QRegularExpression>

#include <algorithm>

namespace harkwell {

namespace {

bool isBlank(QChar c) { return c == u' ' || c == u'\t'; }

int atLeastOne(std::optional<int> stored)
{
    return stored ? std::max(*stored, 1) : SettingsEditingCopy::kDefaultGroupThreshold;
}

}  // namespace

QString SettingsEditingCopy::trimBlanks(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

QString SettingsEditingCopy::joinLines(const QStringList& items) { return items.join(u'\n'); }

QStringList SettingsEditingCopy::splitLines(const QString& text)
{
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n|\u2028|\u2029"));
    QStringList lines;
    for (const QString& line : text.split(lineBreak)) {
        const QString trimmed = trimBlanks(line);
        if (!trimmed.isEmpty())
            lines.append(trimmed);
    }
    return lines;
}

QString SettingsEditingCopy::joinCommas(const QStringList& items) { return items.join(QStringLiteral(", ")); }

QStringList SettingsEditingCopy::splitCommas(const QString& text)
{
    QStringList items;
    for (const QString& item : text.split(u',')) {
        const QString trimmed = trimBlanks(item);
        if (!trimmed.isEmpty())
            items.append(trimmed);
    }
    return items;
}

SettingsEditingCopy SettingsEditingCopy::load(const Settings& settings)
{
    const AppSettings s = settings.settings();
    SettingsEditingCopy copy;
    copy.vaultPath = s.vaultPath;
    copy.vaultName = s.vaultName;
    copy.additionalPaths = joinLines(s.additionalPaths);
    copy.remotesPath = s.remotesPath.value_or(QString());
    copy.refreshInterval = s.refreshInterval;
    copy.recentDays = s.recentDays;
    copy.searchDays = s.searchDays.value_or(std::max(s.recentDays, 30));
    copy.timeBasis = s.timeBasis.value_or(TimeBasis::Modification);
    copy.maxFiles = s.maxFiles;
    copy.includeExtensions = joinCommas(s.includeExtensions);
    copy.excludeDirs = joinCommas(s.excludeDirs);
    copy.excludeFiles = joinCommas(s.excludeFilePatterns.value_or(Settings::defaultExcludeFilePatterns()));
    copy.inboxGroupThreshold = atLeastOne(s.inboxGroupThreshold);
    copy.outboxGroupThreshold = atLeastOne(s.outboxGroupThreshold);
    copy.handoffGroupThreshold = atLeastOne(s.handoffGroupThreshold);
    copy.keepVoiceMemosRunning = s.keepVoiceMemosRunning.value_or(false);
    copy.todayGroupThreshold = atLeastOne(s.todayGroupThreshold);
    copy.menuDayLimit = s.menuDayLimit ? std::max(*s.menuDayLimit, 1) : kDefaultMenuDayLimit;
    copy.watchedFolders = settings.watchedFolders();
    copy.captureMirelon = s.captureMirelonEnabled.value_or(false);
    const std::optional<QString> command = settings.afterTranscriptCommand();
    copy.afterTranscriptOn = command.has_value();
    copy.afterTranscriptCommand = command.value_or(QString());
    copy.mirelonBaseUrl = s.mirelonBaseUrl.value_or(QString());
    copy.recordingSource = s.recordingSource.value_or(RecordingSource::allAudio());
    copy.recordingIncludeMicrophone = s.recordingIncludeMicrophone.value_or(true);
    copy.recordingMicrophoneUid = s.recordingMicrophoneUid;
    copy.recordingConsentReminder = s.recordingConsentReminder.value_or(true);
    copy.recordingConsentText = s.recordingConsentText.value_or(QString::fromUtf8(kDefaultConsentText));
    copy.recordingAutoStopMinutes = std::max(s.recordingAutoStopMinutes.value_or(0), 0);
    copy.recordingShowWindow = s.recordingShowWindow.value_or(true);
    copy.recordingQuickKey = s.recordingQuickKey.value_or(true);
    copy.notifyTranscriptReady = s.notifyTranscriptReady.value_or(true);
    copy.notifyTranscriptFailed = s.notifyTranscriptFailed.value_or(true);
    copy.notifyVoiceMemoSent = s.notifyVoiceMemoSent.value_or(true);
    copy.recordingEchoCancellation = s.recordingEchoCancellation.value_or(EchoCancellationMode::Automatic);
    return copy;
}

AppSettings SettingsEditingCopy::appliedTo(AppSettings s) const
{
    s.vaultPath = vaultPath;
    s.vaultName = vaultName;
    s.additionalPaths = splitLines(additionalPaths);
    s.remotesPath = remotesPath.isEmpty() ? std::nullopt : std::optional<QString>(remotesPath);
    s.refreshInterval = refreshInterval;
    s.recentDays = recentDays;
    s.searchDays = searchDays;
    s.timeBasis = timeBasis;
    s.maxFiles = maxFiles;
    QStringList extensions = splitCommas(includeExtensions);
    for (QString& extension : extensions)
        extension = extension.toLower();
    s.includeExtensions = extensions;
    s.excludeDirs = splitCommas(excludeDirs);
    const QStringList patterns = splitCommas(excludeFiles);
    s.excludeFilePatterns = patterns == Settings::defaultExcludeFilePatterns() ? std::nullopt
                                                                               : std::optional<QStringList>(patterns);
    s.captureVoiceMemosEnabled = voiceMemosEnabled();
    s.captureMirelonEnabled = captureMirelon;
    const QString baseUrl = trimBlanks(mirelonBaseUrl);
    s.mirelonBaseUrl = baseUrl.isEmpty() ? std::nullopt : std::optional<QString>(baseUrl);
    s.keepVoiceMemosRunning = keepVoiceMemosRunning;
    s.watchedFoldersRaw = watchedFolders;
    s.inboxGroupThreshold = std::max(inboxGroupThreshold, 1);
    s.outboxGroupThreshold = std::max(outboxGroupThreshold, 1);
    s.handoffGroupThreshold = std::max(handoffGroupThreshold, 1);
    s.todayGroupThreshold = std::max(todayGroupThreshold, 1);
    s.menuDayLimit = std::max(menuDayLimit, 1);
    s.recordingSource = recordingSource;
    s.recordingIncludeMicrophone = recordingIncludeMicrophone;
    s.recordingMicrophoneUid = recordingMicrophoneUid;
    s.recordingConsentReminder = recordingConsentReminder;
    const QString consent = recordingConsentText.trimmed();
    const bool isUnsetDefault = !s.recordingConsentText && consent == QString::fromUtf8(kDefaultConsentText);
    s.recordingConsentText = consent.isEmpty() || isUnsetDefault ? std::nullopt : std::optional<QString>(consent);
    s.recordingAutoStopMinutes = std::max(recordingAutoStopMinutes, 0);
    s.recordingShowWindow = recordingShowWindow;
    s.notifyTranscriptReady = notifyTranscriptReady;
    s.notifyTranscriptFailed = notifyTranscriptFailed;
    s.notifyVoiceMemoSent = notifyVoiceMemoSent;
    s.recordingQuickKey = recordingQuickKey;
    s.recordingEchoCancellation = recordingEchoCancellation == EchoCancellationMode::Automatic
                                      ? std::nullopt
                                      : std::optional<EchoCancellationMode>(recordingEchoCancellation);
    const QString trimmedCommand = afterTranscriptCommand.trimmed();
    s.afterTranscriptCommand = afterTranscriptOn && !trimmedCommand.isEmpty() ? std::optional<QString>(trimmedCommand)
                                                                             : std::nullopt;
    return s;
}

namespace {

template <typename... Fields>
void takeEdits(SettingsEditingCopy& current, const SettingsEditingCopy& edited, const SettingsEditingCopy& loaded,
               Fields SettingsEditingCopy::*... fields)
{
    ((edited.*fields != loaded.*fields ? void(current.*fields = edited.*fields) : void()), ...);
}

}  // namespace

SettingsEditingCopy SettingsEditingCopy::withEdits(SettingsEditingCopy current, const SettingsEditingCopy& edited,
                                                   const SettingsEditingCopy& loaded)
{
    using C = SettingsEditingCopy;
    takeEdits(current, edited, loaded, &C::vaultPath, &C::vaultName, &C::additionalPaths, &C::remotesPath,
              &C::refreshInterval, &C::recentDays, &C::searchDays, &C::timeBasis, &C::maxFiles, &C::includeExtensions,
              &C::excludeDirs, &C::excludeFiles, &C::inboxGroupThreshold, &C::outboxGroupThreshold,
              &C::handoffGroupThreshold, &C::keepVoiceMemosRunning, &C::todayGroupThreshold, &C::menuDayLimit,
              &C::watchedFolders, &C::captureMirelon, &C::afterTranscriptOn, &C::afterTranscriptCommand,
              &C::mirelonBaseUrl, &C::recordingSource, &C::recordingIncludeMicrophone, &C::recordingMicrophoneUid,
              &C::recordingConsentReminder, &C::recordingConsentText, &C::recordingAutoStopMinutes,
              &C::recordingShowWindow, &C::recordingQuickKey, &C::notifyTranscriptReady, &C::notifyTranscriptFailed,
              &C::notifyVoiceMemoSent, &C::recordingEchoCancellation);
    return current;
}

bool SettingsEditingCopy::voiceMemosEnabled() const
{
    const auto folder = std::find_if(watchedFolders.begin(), watchedFolders.end(), [](const WatchedFolder& f) {
        return f.id == QLatin1String(WatchedFolder::kVoiceMemosId);
    });
    return folder != watchedFolders.end() && folder->enabled;
}

bool SettingsEditingCopy::anyFolderEnabled() const
{
    return std::any_of(watchedFolders.begin(), watchedFolders.end(), [](const WatchedFolder& f) { return f.enabled; });
}

bool SettingsEditingCopy::hasVoiceMemosFolder() const
{
    return std::any_of(watchedFolders.begin(), watchedFolders.end(), [](const WatchedFolder& f) {
        return f.id == QLatin1String(WatchedFolder::kVoiceMemosId);
    });
}

}  // namespace harkwell
