#pragma once
// The "Recording" tab: the recorder's defaults (source, microphone, auto-stop, echo cancelling,
// window, quick key, consent reminder), saved with the window, and the two permissions recording
// needs, with buttons that act at once.

#include "audio/RecordingPermissions.h"
#include "foundation/RecordingTypes.h"

#include <QList>
#include <QPointer>
#include <QWidget>

#include <qcoro/qcorotask.h>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace harkwell {

struct SettingsAppHooks;
struct SettingsEditingCopy;

class RecordingTab final : public QWidget {
    Q_OBJECT
public:
    RecordingTab(SettingsEditingCopy& copy, const SettingsAppHooks& app, QWidget* parent = nullptr);

    // The default-source choices: all audio, the apps that can be recorded, then the saved source
    // when the catalog does not list it.
    static QList<RecordingSource> sourceChoices(const QList<AudioApp>& apps, const RecordingSource& current);
    // The input devices, then the saved one when it is not connected, shown by its UID.
    static QList<AudioInputDevice> inputChoices(const QList<AudioInputDevice>& inputs,
                                                const std::optional<QString>& currentUid);
    static QString statusText(RecordingPermissions::MicrophoneStatus status);

    // Reads the microphone status and both device lists again.
    void refreshRecordingDevices();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rebuildPickers();
    void showMicrophoneStatus();
    void updateEnabled();
    static QCoro::Task<> allow(QPointer<RecordingTab> self);

    SettingsEditingCopy& m_copy;
    const SettingsAppHooks& m_app;
    QList<AudioApp> m_apps;
    QList<AudioInputDevice> m_inputs;
    RecordingPermissions::MicrophoneStatus m_microphoneStatus;

    QComboBox* m_source;
    QComboBox* m_microphone;
    QComboBox* m_echo;
    QLabel* m_status;
    QPushButton* m_allow;
    QPushButton* m_restart;
    QWidget* m_consentText;
};

}  // namespace harkwell
