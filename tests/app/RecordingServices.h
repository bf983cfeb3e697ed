#pragma once
// A stand-in for the application's services that records every call in order and answers with the
// settings the test gives it.

#include "app/AppServices.h"

#include <QStringList>

namespace harkwell::test {

// Records every call in order; the settings it answers with are the test's.
class RecordingServices final : public AppServices {
public:
    bool keep = false;
    bool watching = false;
    bool upload = false;
    bool paired = false;
    QStringList calls;

    void runEnvironmentCheckInBackground() override { calls << "environmentCheck"; }
    bool keepVoiceMemosRunning() override { return keep; }
    void startVoiceMemosKeeper() override { calls << "keeper.start"; }
    void stopVoiceMemosKeeper() override { calls << "keeper.stop"; }
    void readRetryWatermark() override { calls << "retryWatermark"; }
    void enableLoginItemByDefaultOnce() override { calls << "loginItem.enableByDefaultOnce"; }
    void connectTranscriptNotifier() override { calls << "notifier.connect"; }
    void startCaptureStatus() override { calls << "status.start"; }
    bool hasEnabledWatchedFolders() override { return watching; }
    bool uploadEnabled() override { return upload; }
    bool isPaired() override { return paired; }
    void startCapturePipeline() override { calls << "pipeline.start"; }
    void stopCapturePipeline() override { calls << "pipeline.stop"; }
    void resumeUnfinishedCaptures() override { calls << "pipeline.resumeUnfinished"; }
    void reloadCaptureCoordinator() override { calls << "coordinator.reload"; }
};

}  // namespace harkwell::test
