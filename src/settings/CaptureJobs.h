#pragma once
// The two long jobs the Captures tab starts at once: the backfill sync from the service (watched
// in its sheet until the user closes it) and the retry of pending captures (reported in one line
// of the tab). Holds what the tab and the sheet show of them.

#include "pipeline/BackfillSync.h"
#include "pipeline/CaptureRetry.h"

#include <QObject>
#include <QUrl>

#include <memory>
#include <optional>

namespace harkwell {

struct SettingsEditingCopy;
struct SettingsServices;

class CaptureJobs final : public QObject {
    Q_OBJECT
public:
    CaptureJobs(const SettingsServices& services, QObject* parent = nullptr);
    ~CaptureJobs() override;

    // Both buttons need upload on (as edited), a paired computer, a vault path (as edited, and a
    // saved one to write into) and no sync under way.
    bool syncEnabled(const SettingsEditingCopy& copy) const;
    bool retryEnabled(const SettingsEditingCopy& copy) const;

    // Pulls the account's transcripts into the saved vault's inbox; the sheet opens at once.
    void startSync(const SettingsEditingCopy& copy);
    // The sheet's Cancel: the run stops before its next item and still reports its counts.
    void cancelSync();
    // The sheet's Close: back to idle.
    void dismissSyncSheet();
    // Does nothing unless the retry is possible now: uploads without a device token only fail.
    void startRetry(const SettingsEditingCopy& copy);
    // Counts the inbox captures a retry would upload, in the saved vault.
    void countPending();

    bool showSyncSheet() const { return m_showSyncSheet; }
    bool isSyncing() const { return m_activeSync != nullptr; }
    const std::optional<BackfillSync::Progress>& syncProgress() const { return m_syncProgress; }
    bool isRetrying() const { return m_activeRetry != nullptr; }
    const std::optional<CaptureRetry::Progress>& retryProgress() const { return m_retryProgress; }
    int retryPending() const { return m_retryPending; }

    // The edited base URL when it forms one, else the saved one when that does, else the default.
    static QUrl syncBaseUrl(const QString& edited, const std::optional<QString>& saved);
    static QString retryButtonTitle(int pending);
    // The tab's line for a retry report; empty before the first.
    static QString retryLine(const std::optional<CaptureRetry::Progress>& progress);

signals:
    void changed();

private:
    static QCoro::Task<> runSync(QPointer<CaptureJobs> self, std::shared_ptr<BackfillSync> job);
    static QCoro::Task<> runRetry(QPointer<CaptureJobs> self, std::shared_ptr<CaptureRetry> job);
    QString savedVaultRoot() const;

    const SettingsServices& m_services;
    std::shared_ptr<BackfillSync> m_activeSync;
    std::optional<BackfillSync::Progress> m_syncProgress;
    bool m_showSyncSheet = false;
    std::shared_ptr<CaptureRetry> m_activeRetry;
    std::optional<CaptureRetry::Progress> m_retryProgress;
    int m_retryPending = 0;
};

}  // namespace harkwell
