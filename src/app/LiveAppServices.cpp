#include "app/LiveAppServices.h"

#include "capture/CaptureCoordinator.h"
#include "capture/VoiceMemosKeeper.h"
#include "foundation/EnvironmentCheck.h"
#include "foundation/Settings.h"
#include "pipeline/CapturePipeline.h"
#include "pipeline/CaptureRetry.h"
#include "pipeline/CaptureStatus.h"
#include "pipeline/TranscriptNotifier.h"
#include "platform/clock/Clock.h"
#include "service/Keychain.h"

#include <QCoreApplication>
#include <QThreadPool>

namespace harkwell {

LiveAppServices::LiveAppServices()
    : m_autostart(QCoreApplication::applicationFilePath()), m_loginItem(m_autostart, Defaults::standard(), true)
{
}

void LiveAppServices::runEnvironmentCheckInBackground()
{
    QThreadPool::globalInstance()->start([] { EnvironmentCheck::runAtLaunch(); });
}

bool LiveAppServices::keepVoiceMemosRunning()
{
    return Settings::shared().settings().keepVoiceMemosRunning.value_or(false);
}

void LiveAppServices::startVoiceMemosKeeper() { VoiceMemosKeeper::shared().start(); }

void LiveAppServices::stopVoiceMemosKeeper() { VoiceMemosKeeper::shared().stop(); }

void LiveAppServices::readRetryWatermark() { (void)CaptureRetry::retryWatermark(Clock::system()); }

void LiveAppServices::enableLoginItemByDefaultOnce() { m_loginItem.enableByDefaultOnce(); }

void LiveAppServices::connectTranscriptNotifier()
{
    TranscriptNotifier::shared();
    CapturePipeline::shared().setOnCaptureEvent(TranscriptNotifier::captureEventHandler());
}

void LiveAppServices::startCaptureStatus()
{
    // The coordinator reports its polls and the Voice Memos folder's access; the status publishes them.
    CaptureStatus& status = CaptureStatus::shared();
    CaptureCoordinator::shared().setOnPollFinished([&status](int newCaptures) { status.recordPoll(newCaptures); });
    CaptureCoordinator::shared().setOnVoiceMemosAccess([&status](const CaptureAccess::State& state) { status.updateAccess(state); });
    status.start();
}

bool LiveAppServices::hasEnabledWatchedFolders() { return !Settings::shared().enabledWatchedFolders().isEmpty(); }

bool LiveAppServices::uploadEnabled() { return Settings::shared().settings().captureMirelonEnabled.value_or(false); }

bool LiveAppServices::isPaired() { return Keychain::hasDeviceToken(); }

void LiveAppServices::startCapturePipeline() { CapturePipeline::shared().start(); }

void LiveAppServices::stopCapturePipeline() { CapturePipeline::shared().stop(); }

void LiveAppServices::resumeUnfinishedCaptures() { CapturePipeline::shared().resumeUnfinished(); }

void LiveAppServices::reloadCaptureCoordinator() { CaptureCoordinator::shared().reload(); }

}  // namespace harkwell
