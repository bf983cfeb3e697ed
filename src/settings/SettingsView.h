#pragma once
// The settings window's content: the tabs over one editing copy of the settings, and the footer's
// Save, which alone writes the copy back and has the running services pick it up. Pairing, the
// sync jobs, sending existing recordings, the updater, the login item and the test notification
// act at once instead.

#include "settings/SettingsEditingCopy.h"
#include "settings/ImportExistingSheet.h"
#include "settings/SettingsServices.h"
#include "settings/SyncSheet.h"

#include <QDateTime>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>

class QLabel;
class QPushButton;
class QTabWidget;

namespace harkwell {

class CaptureJobs;
class CapturesTab;
class MirelonAuth;

class SettingsView final : public QWidget {
    Q_OBJECT
public:
    explicit SettingsView(SettingsServices services, QWidget* parent = nullptr);
    ~SettingsView() override;

    // Writes the copy into the settings and the settings file, then applies it: echo cancelling of
    // a live recording, the capture settings, the quick-record key, in that order.
    void save();
    // Queues the Voice Memos recordings from `since`'s day on (all without it) and says how it went.
    void sendExisting(const std::optional<QDateTime>& since);
    void showImportSheet();
    // Takes up what was stored meanwhile, unless the user has edits waiting for Save.
    void reloadIfUnedited();
    // Back to what the settings file holds: the window's close without saving.
    void discardEdits();
    bool hasEdits() const { return !(m_copy == m_loaded); }

    const SettingsEditingCopy& editingCopy() const { return m_copy; }
    bool saved() const { return m_saved; }
    const QString& importMessage() const { return m_importMessage; }
    MirelonAuth& mirelonAuth() const { return *m_auth; }
    CaptureJobs& captureJobs() const { return *m_jobs; }
    QTabWidget* tabs() const { return m_tabs; }
    QPushButton* saveButton() const { return m_saveButton; }
    SyncSheet* syncSheet() const { return m_syncSheet; }
    ImportExistingSheet* importSheet() const { return m_importSheet; }

    static constexpr int kWidth = 560;
    static constexpr int kHeight = 460;
    static constexpr int kMinimumWidth = 480;
    static constexpr int kMinimumHeight = 320;
    static constexpr int kTabBarMargin = 12;
    static constexpr char kRestartReason[] = "Some settings only take effect when harkwell starts.";

    QSize sizeHint() const override;

private:
    void followSyncSheet();
    // Builds the tabs afresh over the copy, on the same tab as before.
    void buildTabs();
    // "Saved." and "Restart to apply" speak of the file: they go as soon as the form differs from it.
    void watchForEdits();
    void followEdits();

    SettingsServices m_services;
    SettingsEditingCopy m_copy;
    SettingsEditingCopy m_loaded;  // what the copy held after loading or saving: edits are the differences
    std::unique_ptr<MirelonAuth> m_auth;
    CaptureJobs* m_jobs;
    QTabWidget* m_tabs;
    CapturesTab* m_captures;
    QLabel* m_savedLabel;
    QPushButton* m_restart;
    QPushButton* m_saveButton;
    QPushButton* m_cancelButton;
    QPointer<SyncSheet> m_syncSheet;
    QPointer<ImportExistingSheet> m_importSheet;
    bool m_saved = false;
    QString m_importMessage;
};

}  // namespace harkwell
