#pragma once
// The launch sequence's services as this process has them: the shared settings, capture
// coordinator and status, pipeline, transcript notifier, keychain and login item.

#include "app/AppServices.h"
#include "app/LoginItem.h"
#include "platform/autostart/Autostart.h"

namespace harkwell {

class LiveAppServices final : public AppServices {
public:
    LiveAppServices();

    void runEnvironmentCheckInBackground() override;
    bool keepVoiceMemosRunning() override;
    void startVoiceMemosKeeper() override;
    void stopVoiceMemosKeeper() override;
    void readRetryWatermark() override;
    void enableLoginItemByDefaultOnce() override;
    void connectTranscriptNotifier() override;
    void startCaptureStatus() override;
    bool hasEnabledWatchedFolders() override;
    bool uploadEnabled() override;
    bool isPaired() override;
    void startCapturePipeline() override;
    void stopCapturePipeline() override;
    void resumeUnfinishedCaptures() override;
    void reloadCaptureCoordinator() override;

    LoginItem& loginItem() { return m_loginItem; }

private:
    XdgAutostart m_autostart;
    LoginItem m_loginItem;
};

}  // namespace harkwell
