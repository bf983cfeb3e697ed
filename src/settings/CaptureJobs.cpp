#include "settings/CaptureJobs.h"

#include "foundation/InboxWriter.h"
#include "foundation/Settings.h"
#include "platform/identity/Identity.h"
#include "platform/paths/Paths.h"
#include "service/Keychain.h"
#include "service/MirelonClient.h"
#include "settings/ServiceAddress.h"
#include "settings/SettingsEditingCopy.h"
#include "settings/SettingsServices.h"

#include <QPointer>

namespace harkwell {

CaptureJobs::CaptureJobs(const SettingsServices& services, QObject* parent) : QObject(parent), m_services(services) {}

CaptureJobs::~CaptureJobs()
{
    // A run still going holds its job; it must not report into a window that is gone.
    if (m_activeSync)
        m_activeSync->cancel();
    if (m_activeRetry)
        m_activeRetry->cancel();
}

QString CaptureJobs::savedVaultRoot() const
{
    return Paths::expandTilde(m_services.settings->settings().vaultPath);
}

bool CaptureJobs::syncEnabled(const SettingsEditingCopy& copy) const
{
    // A sync writes into the saved vault, so an edited path alone (never saved) is not enough.
    return copy.captureMirelon && Keychain::isPaired() &&
           !SettingsEditingCopy::trimBlanks(copy.vaultPath).isEmpty() &&
           !m_services.settings->settings().vaultPath.trimmed().isEmpty() && !m_activeSync;
}

bool CaptureJobs::retryEnabled(const SettingsEditingCopy& copy) const
{
    return syncEnabled(copy) && m_retryPending != 0 && !m_activeRetry;
}

QUrl CaptureJobs::syncBaseUrl(const QString& edited, const std::optional<QString>& saved)
{
    if (const std::optional<QUrl> url = ServiceAddress::parse(SettingsEditingCopy::trimBlanks(edited)))
        return *url;
    if (saved) {
        if (const std::optional<QUrl> url = ServiceAddress::parse(saved->trimmed()))
            return *url;
    }
    return ServiceAddress::defaultBaseUrl();
}

void CaptureJobs::startSync(const SettingsEditingCopy& copy)
{
    if (!syncEnabled(copy))
        return;
    const QUrl baseUrl = syncBaseUrl(copy.mirelonBaseUrl, m_services.settings->settings().mirelonBaseUrl);
    MirelonClient client(baseUrl, *m_services.session, *m_services.clock);
    m_activeSync = std::make_shared<BackfillSync>(client, InboxWriter(savedVaultRoot()), *m_services.clock);
    m_syncProgress = BackfillSync::Progress::listing();
    m_showSyncSheet = true;
    emit changed();
    runSync(QPointer<CaptureJobs>(this), m_activeSync);
}

QCoro::Task<> CaptureJobs::runSync(QPointer<CaptureJobs> self, std::shared_ptr<BackfillSync> job)
{
    BackfillSync::ProgressHandler report = [self, job](const BackfillSync::Progress& progress) {
        // A report of a sync the user has closed meanwhile belongs to no sheet.
        if (!self || self->m_activeSync != job)
            return;
        self->m_syncProgress = progress;
        emit self->changed();
    };
    co_await job->run(report);
}

void CaptureJobs::cancelSync()
{
    if (m_activeSync)
        m_activeSync->cancel();
}

void CaptureJobs::dismissSyncSheet()
{
    m_activeSync.reset();
    m_syncProgress.reset();
    m_showSyncSheet = false;
    emit changed();
}

void CaptureJobs::startRetry(const SettingsEditingCopy& copy)
{
    if (!retryEnabled(copy))
        return;
    m_activeRetry = std::make_shared<CaptureRetry>(*m_services.pipeline, *m_services.settings, *m_services.clock);
    emit changed();
    runRetry(QPointer<CaptureJobs>(this), m_activeRetry);
}

QCoro::Task<> CaptureJobs::runRetry(QPointer<CaptureJobs> self, std::shared_ptr<CaptureRetry> job)
{
    std::function<void(const CaptureRetry::Progress&)> report = [self, job](const CaptureRetry::Progress& progress) {
        if (!self)
            return;
        self->m_retryProgress = progress;
        if (progress.kind == CaptureRetry::Progress::Kind::Finished) {
            self->m_activeRetry.reset();
            self->m_retryPending = static_cast<int>(job->pendingIds().size());
        }
        emit self->changed();
    };
    co_await job->run(report);
}

void CaptureJobs::countPending()
{
    const QString vault = savedVaultRoot();
    m_retryPending = vault.trimmed().isEmpty()
                         ? 0
                         : static_cast<int>(CaptureRetry::ids(vault, &CaptureRetry::isRetryable, *m_services.clock).size());
    emit changed();
}

QString CaptureJobs::retryButtonTitle(int pending)
{
    if (pending < 1)
        return QStringLiteral("Upload pending captures…");
    return QStringLiteral("Upload pending captures (%1)…").arg(pending);
}

QString CaptureJobs::retryLine(const std::optional<CaptureRetry::Progress>& progress)
{
    if (!progress)
        return {};
    using Kind = CaptureRetry::Progress::Kind;
    switch (progress->kind) {
    case Kind::Scanning:
        return QStringLiteral("Scanning _inbox…");
    case Kind::Uploading:
        return QStringLiteral("Uploading %1 of %2 — %3").arg(progress->done + 1).arg(progress->total).arg(progress->currentId);
    case Kind::Finished:
        return QStringLiteral("Done. %1 uploaded, %2 skipped, %3 failed.")
            .arg(progress->uploaded)
            .arg(progress->skipped)
            .arg(progress->failed);
    case Kind::Failed:
        return progress->error;
    }
    return {};
}

}  // namespace harkwell
