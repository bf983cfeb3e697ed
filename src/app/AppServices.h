#pragma once
// What the launch sequence and a settings save act on, in their words. The application wires the
// process's shared services in (LiveAppServices); tests put a recorder of calls in their place.

namespace harkwell {

class AppServices {
public:
    virtual ~AppServices() = default;

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
};

}  // namespace harkwell
