#pragma once
// Linux has no microphone permission to ask for and no privacy settings pages to open.

#include "platform/microphone/MicrophoneAccess.h"

namespace harkwell {

class DesktopMicrophoneAccess final : public MicrophoneAccess {
public:
    MicrophoneAuthorization authorization() override { return MicrophoneAuthorization::Authorized; }
    bool canAsk() override { return true; }
    QCoro::Task<bool> requestAccess() override;
    bool openSettingsPage(const QString& link) override;
};

}  // namespace harkwell
