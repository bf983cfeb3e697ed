#include "app/AppDelegate.h"

#include "app/AppServices.h"
#include "foundation/HarkwellLog.h"
#include "platform/identity/Identity.h"

#include <QHostInfo>

namespace harkwell {

AppDelegate::AppDelegate(AppServices& services) : m_services(services) {}

QString AppDelegate::launchLine(const QString& version, const QString& host)
{
    return QStringLiteral("[harkwell] launch: %1 (%2)")
        .arg(version.isEmpty() ? QStringLiteral("?") : version, host.isEmpty() ? QStringLiteral("?") : host);
}

void AppDelegate::applicationDidFinishLaunching()
{
    HarkwellLog::log(launchLine(QLatin1String(identity::kVersion), QHostInfo::localHostName()));
    m_services.runEnvironmentCheckInBackground();
    if (m_services.keepVoiceMemosRunning())
        m_services.startVoiceMemosKeeper();
    else
        m_services.stopVoiceMemosKeeper();
    m_services.readRetryWatermark();
    m_services.enableLoginItemByDefaultOnce();
    m_services.connectTranscriptNotifier();
    maybeStartCapturePipeline();
    // Unfinished recordings are found and sent whatever the audio system; without one to record
    // from there is nothing to show or start.
    m_services.recorderLaunchCheck();
    if (m_services.recordingSupported()) {
        m_services.installRecorderWindow();
        m_services.applyQuickKey();
    }
}

void AppDelegate::maybeStartCapturePipeline()
{
    m_services.startCaptureStatus();
    if (m_services.hasEnabledWatchedFolders()) {
        if (m_services.uploadEnabled() && !m_services.isPaired())
            HarkwellLog::log(QStringLiteral(
                "[harkwell] capture pipeline: upload is on but this Mac is not paired yet (Settings > Captures > "
                "Connect to Mirelon\u2026). Captures are copied to the vault meanwhile; each upload reads the Keychain, "
                "so no restart is needed after pairing."));
        m_services.startCapturePipeline();
        return;
    }
    HarkwellLog::log(QStringLiteral("[harkwell] capture pipeline: no watched folders enabled; not starting"));
    m_services.resumeUnfinishedCaptures();
}

void AppDelegate::applyCaptureSettings()
{
    if (m_services.keepVoiceMemosRunning())
        m_services.startVoiceMemosKeeper();
    else
        m_services.stopVoiceMemosKeeper();
    if (!m_services.hasEnabledWatchedFolders()) {
        m_services.stopCapturePipeline();
        return;
    }
    m_services.startCapturePipeline();
    m_services.reloadCaptureCoordinator();
}

}  // namespace harkwell
