#pragma once
// Whether Harkwell may record the microphone, and the desktop's privacy settings for it. The
// desktop asks no one on Linux (audio capture is always allowed); the fake plays every other case.

#include <QString>

#include <qcoro/qcorotask.h>

namespace harkwell {

enum class MicrophoneAuthorization { NotDetermined, Restricted, Denied, Authorized };

class MicrophoneAccess {
public:
    virtual ~MicrophoneAccess() = default;

    virtual MicrophoneAuthorization authorization() = 0;
    // The build may ask the user: it has a bundle identifier and states why it uses the microphone.
    virtual bool canAsk() = 0;
    // Asks the user and returns the answer; true when recording the microphone is allowed.
    virtual QCoro::Task<bool> requestAccess() = 0;
    // Opens a privacy settings page by its link; false when the desktop has no such page.
    virtual bool openSettingsPage(const QString& link) = 0;

    // The process's microphone access: the desktop's unless a test has put another in place.
    static MicrophoneAccess& current();
    static void setCurrent(MicrophoneAccess* access);
};

}  // namespace harkwell
