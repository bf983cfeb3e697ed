#include "platform/microphone/DesktopMicrophoneAccess.h"

#include <atomic>

namespace harkwell {

QCoro::Task<bool> DesktopMicrophoneAccess::requestAccess() { co_return true; }

bool DesktopMicrophoneAccess::openSettingsPage(const QString&) { return false; }

namespace {

std::atomic<MicrophoneAccess*> g_current {nullptr};

}  // namespace

MicrophoneAccess& MicrophoneAccess::current()
{
    static DesktopMicrophoneAccess desktop;
    MicrophoneAccess* access = g_current.load();
    return access ? *access : desktop;
}

void MicrophoneAccess::setCurrent(MicrophoneAccess* access) { g_current.store(access); }

}  // namespace harkwell
