#pragma once
// Reads and asks for the microphone permission, and opens the privacy settings the recorder needs.

#include <qcoro/qcorotask.h>

namespace harkwell {

class RecordingPermissions {
public:
    enum class MicrophoneStatus { Authorized, Denied, NotDetermined };

    static constexpr char kMicrophoneSettingsLink[] =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone";
    static constexpr char kSystemAudioSettingsLink[] =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_AudioCapture";

    // Restricted counts as denied.
    static MicrophoneStatus microphoneStatus();
    // True when the microphone may be recorded; asks the user where the build is allowed to.
    static QCoro::Task<bool> requestMicrophone();
    static void openMicrophoneSettings();
    static void openSystemAudioSettings();
};

}  // namespace harkwell
