#pragma once
// A settings window's world in a temporary home: the settings file, a vault, the fake service on
// loopback with a pipeline that uploads to it, fake clock, secrets, desktop, notifications and
// microphone, a folder chooser that answers as told, and the application's hooks recorded in order.

#include "capture/CaptureStateStore.h"
#include "foundation/Settings.h"
#include "pipeline/AfterTranscriptCommand.h"
#include "pipeline/CapturePipeline.h"
#include "pipeline/TranscriptNotifier.h"
#include "platform/clock/FakeClock.h"
#include "platform/filesystem/FakeFileSystem.h"
#include "platform/microphone/FakeMicrophoneAccess.h"
#include "platform/notifications/FakeNotifications.h"
#include "platform/secrets/FakeSecretStore.h"
#include "platform/workspace/FakeWorkspace.h"
#include "settings/AppUpdater.h"
#include "platform/dialogs/FakeFolderChooser.h"
#include "settings/SettingsServices.h"
#include "settings/SettingsView.h"
#include "support/FakeMirelonService.h"
#include "support/TempHome.h"

#include <QAbstractButton>
#include <QNetworkAccessManager>
#include <QStringList>
#include <QTest>

#include <memory>
#include <optional>

namespace harkwell::test {

class SettingsFixture {
public:
    SettingsFixture();
    ~SettingsFixture();

    QString vault() const { return home.path() + QStringLiteral("/Vault"); }
    // Changes the stored record before the window reads it.
    void store(const std::function<void(AppSettings&)>& change);
    void pair(bool paired);
    // An inbox capture that a retry would upload.
    void placePendingCapture(const QString& id) const;
    // A file in the Voice Memos recordings folder.
    QString placeVoiceMemo(const QString& name) const;

    SettingsServices services();
    SettingsView& view();  // built on first use

    static QString logText();
    // The settings file as it is on disk.
    QJsonObject settingsFile() const;

    TempHome home;
    FakeClock clock;
    FakeSecretStore secrets;
    FakeWorkspace workspace;
    FakeNotifications notifications;
    FakeMicrophoneAccess microphone;
    FakeMirelonService service;
    FakeFolderChooser chooser;
    FakeFileSystem files;
    QNetworkAccessManager network;
    std::unique_ptr<Settings> settings;
    std::unique_ptr<CaptureStateStore> ledger;
    std::unique_ptr<AfterTranscriptCommand> command;
    std::unique_ptr<CapturePipeline> pipeline;
    std::unique_ptr<TranscriptNotifier> notifier;
    std::unique_ptr<AppUpdater> updater;

    // What the application was asked, in order: "echo", "capture", "quickKey", "relaunch:<reason>",
    // "login:<on|off>".
    QStringList appCalls;
    bool recordingActive = false;
    bool loginEnabled = false;
    std::optional<QString> loginFailure;
    QList<AudioApp> apps;
    QList<AudioInputDevice> inputs;
    int resumes = 0;

private:
    std::unique_ptr<SettingsView> m_view;
};

// Widgets found by what the user sees or by the field they edit; a missing one fails the test.
QAbstractButton* button(QWidget* root, const QString& text);
// Visible to the user: shown, and on screen when its window is.
bool isShown(QWidget* widget);

template <typename T>
T* field(QWidget* root, const QString& name)
{
    T* found = root->findChild<T*>(name);
    if (!found)
        qWarning("no field %s", qPrintable(name));
    return found;
}

}  // namespace harkwell::test
