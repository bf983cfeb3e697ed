#pragma once
// What start-up, the menu's appear work, the menu's commands and a settings save act on, in their
// words. The application wires the process's shared services in (LiveAppServices); tests put a
// recorder of calls in their place.

#include <QString>

#include <functional>
#include <memory>

namespace harkwell {

class FileScanner;
class RecordingSession;

class AppServices {
public:
    virtual ~AppServices() = default;

    // The updater, kept for the process.
    virtual void startUpdater() = 0;
    // Before anything reads the settings, the state, the defaults or the token.
    virtual void runMigration() = 0;
    // The one vault scanner, made when the menu is first built: it reads its cache and the
    // settings at once, so only after the migration.
    virtual std::unique_ptr<FileScanner> makeScanner() = 0;

    // Off the main thread, without waiting.
    virtual void runEnvironmentCheckInBackground() = 0;

    virtual bool keepVoiceMemosRunning() = 0;
    virtual void startVoiceMemosKeeper() = 0;
    virtual void stopVoiceMemosKeeper() = 0;

    // The first read stores the current time, so captures older than the first launch are never retried.
    virtual void readRetryWatermark() = 0;
    virtual void enableLoginItemByDefaultOnce() = 0;
    // Capture events reach the transcript notifier on the main thread from now on.
    virtual void connectTranscriptNotifier() = 0;

    virtual void startCaptureStatus() = 0;
    virtual bool hasEnabledWatchedFolders() = 0;
    virtual bool uploadEnabled() = 0;
    virtual bool isPaired() = 0;
    virtual void startCapturePipeline() = 0;
    virtual void stopCapturePipeline() = 0;
    virtual void resumeUnfinishedCaptures() = 0;
    virtual void reloadCaptureCoordinator() = 0;

    // The recorder the menu and the label follow; it cannot record where no audio system answers.
    virtual RecordingSession& recordingSession() = 0;
    virtual bool recordingSupported() = 0;
    // Unfinished recordings offered again, the panel following the recorder, the quick-record key.
    virtual void recorderLaunchCheck() = 0;
    virtual void installRecorderWindow() = 0;
    virtual void applyQuickKey() = 0;
    // Brings the recorder panel to the front, built when there is none; starts nothing.
    virtual void bringRecorderForward() = 0;
    // What the quick-record key does: starts a recording, or brings a running one forward.
    virtual void quickRecord() = 0;
    // Asks later, with "Discard" and "Keep"; onConfirm runs only for "Discard".
    virtual void confirmDiscard(const QString& message, const QString& detail, std::function<void()> onConfirm) = 0;

    // The search panel lists this scanner's files; its key shows or hides the panel.
    virtual void registerSearchKey(FileScanner& scanner) = 0;
    virtual void toggleSearch() = 0;

    virtual bool settingsFileExists() = 0;
    virtual void reloadSettings() = 0;
    // onComplete runs after the user finishes the welcome flow.
    virtual void showWelcome(std::function<void()> onComplete) = 0;
    virtual void showSettings() = 0;
};

}  // namespace harkwell
