#include "app/LiveAppServices.h"

#include "app/AppDelegate.h"
#include "app/AppRelaunch.h"
#include "app/Brand.h"
#include "app/HarkwellLinks.h"
#include "audio/AudioProcessCatalog.h"
#include "capture/CaptureCoordinator.h"
#include "capture/VoiceMemosKeeper.h"
#include "foundation/EnvironmentCheck.h"
#include "foundation/HarkwellLog.h"
#include "foundation/Settings.h"
#include "onboarding/MigrationFromCorvale.h"
#include "onboarding/WelcomeWindowController.h"
#include "pipeline/CapturePipeline.h"
#include "pipeline/CaptureRetry.h"
#include "pipeline/CaptureStatus.h"
#include "pipeline/TranscriptNotifier.h"
#include "platform/audiohal/PipeWireAudioHardware.h"
#include "platform/clock/Clock.h"
#include "recording/RecorderUI.h"
#include "recording/RecorderWindowController.h"
#include "recording/RecordingSession.h"
#include "service/Keychain.h"
#include "settings/AppUpdater.h"
#include "settings/SettingsWindowController.h"
#include "vault/FileScanner.h"
#include "vault/RemoteCopy.h"
#include "vault/HotkeyManager.h"
#include "vault/SearchWindowController.h"

#include <QApplication>
#include <QFileInfo>
#include <QThreadPool>
#include <QWidget>

namespace harkwell {

namespace {
QColor accent() { return Brand::accent(QApplication::palette()); }
}  // namespace

LiveAppServices::LiveAppServices()
    : m_autostart(QCoreApplication::applicationFilePath()), m_loginItem(m_autostart, Defaults::standard(), true)
{
    // The recorder is made on first use over whatever audio system answers now.
    auto audio = std::make_unique<PipeWireAudioHardware>();
    m_audioError = audio->connectionError();
    // A server that is not running yet (or restarts later) is connected to when it answers.
    if (audio->hasClient()) {
        m_audio = std::move(audio);
        RecordingSession::useSharedHardware(m_audio.get());
    }
}

LiveAppServices::~LiveAppServices() = default;

void LiveAppServices::startUpdater() { (void)AppUpdater::controller(); }

void LiveAppServices::runMigration() { MigrationFromCorvale::run(); }

std::unique_ptr<FileScanner> LiveAppServices::makeScanner()
{
    // Copies of remote files that an earlier run opened or mailed are no longer in use.
    RemoteCopy::pool().start(&RemoteCopy::removeLeftovers);
    return std::make_unique<FileScanner>();
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

bool LiveAppServices::isPaired() { return Keychain::isPaired(); }

void LiveAppServices::startCapturePipeline() { CapturePipeline::shared().start(); }

void LiveAppServices::stopCapturePipeline() { CapturePipeline::shared().stop(); }

void LiveAppServices::resumeUnfinishedCaptures() { CapturePipeline::shared().resumeUnfinished(); }

void LiveAppServices::reloadCaptureCoordinator() { CaptureCoordinator::shared().reload(); }

RecordingSession& LiveAppServices::recordingSession() { return RecordingSession::shared(); }

bool LiveAppServices::recordingSupported()
{
    // Said once, in the launch sequence, where the recorder would otherwise start.
    if (m_audioError) {
        HarkwellLog::log(QStringLiteral("[harkwell] recorder: recording is not available: %1").arg(*m_audioError));
        m_audioError.reset();
    }
    return RecordingSession::shared().isSupported();
}

void LiveAppServices::recorderLaunchCheck() { RecordingSession::shared().launchCheck(); }

void LiveAppServices::installRecorderWindow()
{
    RecorderWindowController& recorder = RecorderWindowController::shared();
    recorder.setAccent([](const QPalette& palette) { return Brand::accent(palette); });
    recorder.install();
}

void LiveAppServices::applyQuickKey() { RecorderWindowController::applyQuickKey(); }

void LiveAppServices::bringRecorderForward() { RecorderWindowController::shared().bringForward(); }

void LiveAppServices::quickRecord() { RecorderWindowController::shared().quickRecord(); }

void LiveAppServices::confirmDiscard(const QString& message, const QString& detail, std::function<void()> onConfirm)
{
    RecorderUI::confirmDiscard(nullptr, message, detail, std::move(onConfirm));
}

void LiveAppServices::registerSearchKey(FileScanner& scanner)
{
    SearchWindowController& search = SearchWindowController::shared();
    search.setScanner(&scanner);
    search.setTint(accent());
    HotkeyManager::shared().onTrigger = [this] { toggleSearch(); };
    // A desktop without global keys still has "Search Vault…" in the menu.
    (void)HotkeyManager::shared().registerSearchKey();
}

void LiveAppServices::toggleSearch()
{
    SearchWindowController& search = SearchWindowController::shared();
    if (search.panel() && search.panel()->isVisible())
        search.orderOut();
    else
        search.show();
}

bool LiveAppServices::settingsFileExists() { return QFileInfo::exists(Settings::shared().configPath()); }

void LiveAppServices::reloadSettings() { Settings::shared().load(); }

void LiveAppServices::showWelcome(std::function<void()> onComplete)
{
    WelcomeWindowController& welcome = WelcomeWindowController::shared();
    welcome.setBranding({accent(), HarkwellLinks::productPage(), QApplication::windowIcon()});
    welcome.onComplete = std::move(onComplete);
    welcome.show();
}

void LiveAppServices::showSettings()
{
    installSettingsHooks();
    SettingsWindowController::shared().show();
}

void LiveAppServices::installSettingsHooks()
{
    if (m_settingsHooksInstalled)
        return;
    m_settingsHooksInstalled = true;
    SettingsAppHooks hooks;
    hooks.recordingIsActive = [] { return RecordingSession::shared().isActive(); };
    hooks.applyEchoCancellation = [] { RecordingSession::shared().settingsChanged(); };
    hooks.applyCaptureSettings = [this] { AppDelegate(*this).applyCaptureSettings(); };
    hooks.applyQuickKey = [this] { applyQuickKey(); };
    hooks.promptAndRelaunch = [](const QString& reason) { AppRelaunch::promptAndRelaunch(reason); };
    hooks.launchAtLogin = [this] { return m_autostart.status() == AutostartStatus::Enabled; };
    hooks.setLaunchAtLogin = [this](bool on) { return m_loginItem.set(on); };
    hooks.recordingSupported = [this] { return recordingSupported(); };
    hooks.audioApps = [] { return RecordingSession::shared().audioApps(); };
    hooks.inputDevices = [this] {
        return m_audio ? AudioProcessCatalog(*m_audio).inputDevices() : QList<AudioInputDevice>{};
    };
    hooks.productPage = [] { return HarkwellLinks::productPage(); };
    hooks.setupGuide = [] { return HarkwellLinks::setupGuide(); };
    hooks.accent = accent();
    SettingsWindowController::shared().setAppHooks(std::move(hooks));
}

}  // namespace harkwell
