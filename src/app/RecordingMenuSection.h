#pragma once
// The recorder's rows at the top of the menu: "Record…" or what the recorder is doing, the
// consent reminder, each warning with the buttons that lead to its fix, the last result, and the
// recordings left unfinished or silent, to send again or discard. It never starts a recording:
// its rows bring the recorder panel forward.

#include "app/MenuRow.h"
#include "foundation/RecordingTypes.h"
#include "recording/RecordingWarning.h"

#include <QSet>

#include <functional>
#include <optional>

namespace harkwell {

class RecordingMenuSection {
public:
    // What the section reads of the recorder.
    struct Inputs {
        RecordingState state;
        RecordingSource source;  // of the current recording
        QList<RecordingWarning> warnings;
        std::optional<QString> visibleConsentReminder;
        std::optional<QString> lastResult;
        QList<RecordingSidecar> pendingRecovery;
        QSet<QString> recoveriesInFlight;
        double elapsed = 0;  // seconds recorded so far; the tray icon shows only the red dot
    };

    struct Actions {
        std::function<void()> bringRecorderForward;
        std::function<void()> discard;
        std::function<void(const QString& id)> recoverSend;
        std::function<void(const QString& id)> recoverDiscard;
        // Asks first, later, with "Discard" and "Keep"; runs onConfirm only for "Discard".
        std::function<void(const QString& message, const QString& detail, std::function<void()> onConfirm)> confirmDiscard;
        std::function<void(const QString& link)> openPrivacySettings;
        std::function<void()> showSettings;
        std::function<void(const QString& reason)> promptAndRelaunch;
    };

    static constexpr char kSystemAudioRestartReason[] =
        "macOS applies a System Audio Recording grant only when an app starts, so harkwell needs to restart before it "
        "can record system audio.";
    static constexpr char kSystemAudioLink[] =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_AudioCapture";
    static constexpr char kMicrophoneLink[] = "x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone";

    static MenuRows rows(const Inputs& inputs, const Actions& actions);

    // "Recording · All audio…", "Paused · <app>…".
    static QString activeLabel(const RecordingState& state, const RecordingSource& source);
};

}  // namespace harkwell
