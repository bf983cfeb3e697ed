#include "audio/RecordingPermissions.h"

#include "foundation/HarkwellLog.h"
#include "platform/microphone/MicrophoneAccess.h"

#include <QUrl>

namespace harkwell {

namespace {

void recorderLog(const QString& message) { HarkwellLog::log(QStringLiteral("[harkwell] recorder: ") + message); }

void open(const QString& link)
{
    if (!QUrl(link, QUrl::StrictMode).isValid())
        return;
    // Desktops without these privacy pages only note what the user was sent to.
    if (!MicrophoneAccess::current().openSettingsPage(link))
        recorderLog(QStringLiteral("no System Settings page on this system for %1").arg(link));
}

}  // namespace

RecordingPermissions::MicrophoneStatus RecordingPermissions::microphoneStatus()
{
    switch (MicrophoneAccess::current().authorization()) {
    case MicrophoneAuthorization::Authorized:
        return MicrophoneStatus::Authorized;
    case MicrophoneAuthorization::NotDetermined:
        return MicrophoneStatus::NotDetermined;
    case MicrophoneAuthorization::Restricted:
    case MicrophoneAuthorization::Denied:
        break;
    }
    return MicrophoneStatus::Denied;
}

QCoro::Task<bool> RecordingPermissions::requestMicrophone()
{
    MicrophoneAccess& access = MicrophoneAccess::current();
    if (access.authorization() == MicrophoneAuthorization::Authorized)
        co_return true;
    if (!access.canAsk()) {
        recorderLog(QStringLiteral("no NSMicrophoneUsageDescription in this build; not requesting microphone access"));
        co_return false;
    }
    const bool granted = co_await access.requestAccess();
    recorderLog(QStringLiteral("microphone access %1").arg(granted ? QStringLiteral("granted") : QStringLiteral("denied")));
    co_return granted;
}

void RecordingPermissions::openMicrophoneSettings() { open(QLatin1String(kMicrophoneSettingsLink)); }

void RecordingPermissions::openSystemAudioSettings() { open(QLatin1String(kSystemAudioSettingsLink)); }

}  // namespace harkwell
