#pragma once
// The "Captures" tab: watched folders, upload and pairing, the command run after each transcript,
// and the two sync actions. Each time it comes on screen it probes the folders again and counts
// the pending captures.

#include <QWidget>

class QLabel;
class QPushButton;

namespace harkwell {

class CaptureJobs;
class MirelonAuth;
class WatchedFoldersSection;
struct SettingsEditingCopy;
struct SettingsServices;

class CapturesTab final : public QWidget {
    Q_OBJECT
public:
    CapturesTab(SettingsEditingCopy& copy, const SettingsServices& services, MirelonAuth& auth, CaptureJobs& jobs,
                QWidget* parent = nullptr);

    WatchedFoldersSection& folders() const { return *m_folders; }
    // Brings the sync buttons and the retry line up to date.
    void updateSync();

    static QString syncFooter();

signals:
    void importRequested();

protected:
    void showEvent(QShowEvent* event) override;

private:
    SettingsEditingCopy& m_copy;
    CaptureJobs& m_jobs;
    WatchedFoldersSection* m_folders;
    QPushButton* m_sync;
    QPushButton* m_retry;
    QLabel* m_retryLine;
};

}  // namespace harkwell
