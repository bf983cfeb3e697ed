#pragma once
// What the settings window reaches outside itself. The lower layers' services default to the
// process's shared instances; the application layer above the window hands in its own through
// the hooks, which do nothing until it does.

#include "foundation/RecordingTypes.h"

#include <QColor>
#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace harkwell {

class AppUpdater;
class CapturePipeline;
class CaptureStateStore;
class Clock;
class FileSystem;
class FolderChooser;
class Settings;
class TranscriptNotifier;

// The application's part: the window sits below the application and cannot call it directly.
struct SettingsAppHooks {
    // A recording is running or paused.
    std::function<bool()> recordingIsActive;
    // Decides again whether the live recording cancels echo; may begin a new segment.
    std::function<void()> applyEchoCancellation;
    // After a save, in this order: the capture settings, then the quick-record key.
    std::function<void()> applyCaptureSettings;
    std::function<void()> applyQuickKey;
    // Asks the user, then relaunches on consent.
    std::function<void(const QString& reason)> promptAndRelaunch;
    // The login item: whether it is enabled now, and a change (the failure text, or nothing).
    std::function<bool()> launchAtLogin;
    std::function<std::optional<QString>(bool)> setLaunchAtLogin;
    // The system's sound can be captured at all; without it there is no Recording tab.
    std::function<bool()> recordingSupported;
    // What recording can take: apps playing audio first, and the input devices by name.
    std::function<QList<AudioApp>()> audioApps;
    std::function<QList<AudioInputDevice>()> inputDevices;
    // The help links and the brand's tint.
    std::function<QUrl()> productPage;
    std::function<QUrl()> setupGuide;
    std::optional<QColor> accent;
};

struct SettingsServices {
    Settings* settings = nullptr;
    Clock* clock = nullptr;
    QNetworkAccessManager* session = nullptr;
    CapturePipeline* pipeline = nullptr;
    CaptureStateStore* seenLedger = nullptr;
    TranscriptNotifier* notifier = nullptr;
    AppUpdater* updater = nullptr;
    FolderChooser* folderChooser = nullptr;
    FileSystem* files = nullptr;
    // Runs after a pairing stored its token: the pipeline picks up what waited for it.
    std::function<void()> pairingResume;
    SettingsAppHooks app;

    // The process's shared instances, and no application hooks yet.
    static SettingsServices process();
};

}  // namespace harkwell
