#pragma once
// The application's services as this process has them: the shared settings, capture coordinator
// and status, pipeline, transcript notifier, keychain, login item, the recorder over the desktop's
// audio system, and the search, settings and welcome windows.

#include "app/AppServices.h"
#include "app/LoginItem.h"
#include "platform/autostart/Autostart.h"

#include <QString>

#include <memory>
#include <optional>

namespace harkwell {

class PipeWireAudioHardware;

class LiveAppServices final : public AppServices {
public:
    LiveAppServices();
    ~LiveAppServices() override;

    void startUpdater() override;
    void runMigration() override;
    std::unique_ptr<FileScanner> makeScanner() override;
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
    RecordingSession& recordingSession() override;
    bool recordingSupported() override;
    void recorderLaunchCheck() override;
    void installRecorderWindow() override;
    void applyQuickKey() override;
    void bringRecorderForward() override;
    void quickRecord() override;
    void confirmDiscard(const QString& message, const QString& detail, std::function<void()> onConfirm) override;
    void registerSearchKey(FileScanner& scanner) override;
    void toggleSearch() override;
    bool settingsFileExists() override;
    void reloadSettings() override;
    void showWelcome(std::function<void()> onComplete) override;
    void showSettings() override;

    LoginItem& loginItem() { return m_loginItem; }

private:
    void installSettingsHooks();

    XdgAutostart m_autostart;
    LoginItem m_loginItem;
    // The recorder's audio system; none where no server answered at launch.
    std::unique_ptr<PipeWireAudioHardware> m_audio;
    std::optional<QString> m_audioError;  // until logged
    bool m_settingsHooksInstalled = false;
};

}  // namespace harkwell
