#include "settings/RecordingTab.h"

#include "foundation/HotkeyNames.h"
#include "settings/FormSection.h"
#include "settings/NumberField.h"
#include "settings/SettingsEditingCopy.h"
#include "settings/SettingsServices.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace harkwell {

namespace {

QString echoText(EchoCancellationMode mode)
{
    switch (mode) {
    case EchoCancellationMode::Automatic: return QStringLiteral("Automatic (when the sound comes out of speakers)");
    case EchoCancellationMode::On: return QStringLiteral("On");
    case EchoCancellationMode::Off: return QStringLiteral("Off");
    }
    return {};
}

QLabel* secondary(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    FormSection::setTone(label, FormSection::Tone::Secondary);
    return label;
}

QCheckBox* toggle(const QString& label, bool& field, const QString& name, QWidget* parent)
{
    auto* box = new QCheckBox(label, parent);
    box->setObjectName(name);
    box->setChecked(field);
    QObject::connect(box, &QCheckBox::toggled, box, [&field](bool on) { field = on; });
    return box;
}

constexpr char kSystemAudioRestartReason[] =
    "harkwell connects to the system audio when it starts, so it needs to restart before it can record system audio.";

}  // namespace

QList<RecordingSource> RecordingTab::sourceChoices(const QList<AudioApp>& apps, const RecordingSource& current)
{
    QList<RecordingSource> choices{RecordingSource::allAudio()};
    for (const AudioApp& app : apps)
        choices.append(RecordingSource::app(app.bundleId, app.name));
    if (!choices.contains(current))
        choices.append(current);
    return choices;
}

QList<AudioInputDevice> RecordingTab::inputChoices(const QList<AudioInputDevice>& inputs,
                                                   const std::optional<QString>& currentUid)
{
    QList<AudioInputDevice> choices = inputs;
    if (!currentUid)
        return choices;
    if (std::any_of(inputs.begin(), inputs.end(), [&](const AudioInputDevice& d) { return d.uid == *currentUid; }))
        return choices;
    choices.append(AudioInputDevice{*currentUid, *currentUid + QStringLiteral(" (not connected)"), false});
    return choices;
}

QString RecordingTab::statusText(RecordingPermissions::MicrophoneStatus status)
{
    switch (status) {
    case RecordingPermissions::MicrophoneStatus::Authorized: return QStringLiteral("Allowed");
    case RecordingPermissions::MicrophoneStatus::Denied: return QStringLiteral("Not allowed");
    case RecordingPermissions::MicrophoneStatus::NotDetermined: return QStringLiteral("Not asked yet");
    }
    return {};
}

RecordingTab::RecordingTab(SettingsEditingCopy& copy, const SettingsAppHooks& app, QWidget* parent)
    : QWidget(parent), m_copy(copy), m_app(app), m_microphoneStatus(RecordingPermissions::microphoneStatus())
{
    auto* layout = new QVBoxLayout(this);

    auto* recording = new FormSection(QStringLiteral("Recording"), this);
    m_source = new QComboBox(recording);
    m_source->setObjectName(QStringLiteral("recordingSource"));
    connect(m_source, &QComboBox::activated, this, [this](int index) {
        m_copy.recordingSource = m_source->itemData(index).value<RecordingSource>();
    });
    recording->addRow(QStringLiteral("Default source:"), m_source);
    auto* includeMicrophone = toggle(QStringLiteral("Include microphone"), copy.recordingIncludeMicrophone,
                                     QStringLiteral("recordingIncludeMicrophone"), recording);
    connect(includeMicrophone, &QCheckBox::toggled, this, &RecordingTab::updateEnabled);
    recording->addRow(includeMicrophone);
    m_microphone = new QComboBox(recording);
    m_microphone->setObjectName(QStringLiteral("recordingMicrophoneUID"));
    connect(m_microphone, &QComboBox::activated, this, [this](int index) {
        const QVariant uid = m_microphone->itemData(index);
        m_copy.recordingMicrophoneUid = uid.isNull() ? std::nullopt : std::optional<QString>(uid.toString());
    });
    recording->addRow(QStringLiteral("Microphone:"), m_microphone);
    auto* autoStop = new NumberField(NumberField::Kind::Integer, 50, recording);
    autoStop->setObjectName(QStringLiteral("recordingAutoStopMinutes"));
    autoStop->setValue(copy.recordingAutoStopMinutes);
    connect(autoStop, &NumberField::valueEdited, this,
            [this](double value) { m_copy.recordingAutoStopMinutes = static_cast<int>(value); });
    recording->addRow(QStringLiteral("Auto-stop:"),
                      FormSection::row({secondary(QStringLiteral("after"), recording), autoStop,
                                        secondary(QStringLiteral("minutes of silence (0 = off)"), recording), nullptr},
                                       recording));
    recording->setFooter(QStringLiteral(
        "Record in the menu records what this computer plays and, with the microphone on, what you say. On Stop & send the "
        "recording goes to <vault>/_inbox like a Voice Memo and is uploaded to Mirelon as a meeting. The left channel "
        "is your microphone, the right channel the others, so Mirelon can tell the two sides apart; with the "
        "microphone off, the system audio is recorded in stereo. Record from in the menu picks another source for one "
        "recording."));
    layout->addWidget(recording);

    auto* echo = new FormSection(QString(), this);
    m_echo = new QComboBox(echo);
    m_echo->setObjectName(QStringLiteral("recordingEchoCancellation"));
    for (EchoCancellationMode mode : allEchoCancellationModes())
        m_echo->addItem(echoText(mode), static_cast<int>(mode));
    m_echo->setCurrentIndex(m_echo->findData(static_cast<int>(copy.recordingEchoCancellation)));
    connect(m_echo, &QComboBox::activated, this, [this](int index) {
        m_copy.recordingEchoCancellation = static_cast<EchoCancellationMode>(m_echo->itemData(index).toInt());
    });
    echo->addRow(QStringLiteral("Echo cancellation:"), m_echo);
    echo->setFooter(QStringLiteral(
        "When the sound comes out of the speakers, the microphone also hears the others, and the transcript gets them "
        "twice. Echo cancellation removes them from your channel; Automatic does it only on speakers, not with "
        "headphones."));
    layout->addWidget(echo);

    auto* consent = new FormSection(QStringLiteral("Consent"), this);
    consent->addRow(toggle(QStringLiteral("Show the recorder window while recording"), copy.recordingShowWindow,
                           QStringLiteral("recordingShowWindow"), consent));
    consent->addRow(toggle(QStringLiteral("Start recording from anywhere with %1").arg(HotkeyNames::shared().record()), copy.recordingQuickKey,
                           QStringLiteral("recordingQuickKey"), consent));
    auto* reminder = toggle(QStringLiteral("Remind me to tell the others when a recording starts"),
                            copy.recordingConsentReminder, QStringLiteral("recordingConsentReminder"), consent);
    connect(reminder, &QCheckBox::toggled, this, &RecordingTab::updateEnabled);
    consent->addRow(reminder);
    auto* consentText = new QLineEdit(copy.recordingConsentText, consent);
    consentText->setObjectName(QStringLiteral("recordingConsentText"));
    connect(consentText, &QLineEdit::textEdited, this, [this](const QString& text) { m_copy.recordingConsentText = text; });
    m_consentText = consentText;
    consent->addRow(QStringLiteral("Reminder"), consentText);
    consent->setFooter(QStringLiteral("Recording other people is your responsibility. harkwell shows a red mark in the "
                                      "menu bar for the whole recording and, with this on, this reminder when it starts."));
    layout->addWidget(consent);

    auto* permissions = new FormSection(QStringLiteral("Permissions"), this);
    m_status = new QLabel(permissions);
    m_status->setObjectName(QStringLiteral("microphoneStatus"));
    m_allow = new QPushButton(QStringLiteral("Allow…"), permissions);
    connect(m_allow, &QPushButton::clicked, this, [this] { allow(QPointer<RecordingTab>(this)); });
    // No settings pane holds these permissions here, so there are no buttons to open one.
    permissions->addRow(QStringLiteral("Microphone:"), FormSection::row({m_status, nullptr, m_allow}, permissions));
    m_restart = new QPushButton(QStringLiteral("Restart harkwell"), permissions);
    connect(m_restart, &QPushButton::clicked, this, [this] {
        if (m_app.promptAndRelaunch)
            m_app.promptAndRelaunch(QString::fromLatin1(kSystemAudioRestartReason));
    });
    // The buttons go on a line of their own, so that the row never needs more than the window's width.
    permissions->addRow(QStringLiteral("System audio:"),
                        secondary(QStringLiteral("Taken from PipeWire; no permission is needed"), permissions));
    permissions->addRow(FormSection::row({nullptr, m_restart}, permissions));
    auto* recheck = new QPushButton(QStringLiteral("Re-check"), permissions);
    connect(recheck, &QPushButton::clicked, this, &RecordingTab::refreshRecordingDevices);
    permissions->addRow(FormSection::row({recheck, nullptr}, permissions));
    permissions->setFooter(QStringLiteral(
        "Linux asks no permission for the microphone or system audio; harkwell checks the audio itself and warns in "
        "the menu when no system audio reaches it, and then does not upload a silent recording."));
    layout->addWidget(permissions);
    layout->addStretch(1);

    rebuildPickers();
    showMicrophoneStatus();
    updateEnabled();
}

void RecordingTab::refreshRecordingDevices()
{
    m_microphoneStatus = RecordingPermissions::microphoneStatus();
    m_apps = m_app.audioApps ? m_app.audioApps() : QList<AudioApp>();
    m_inputs = m_app.inputDevices ? m_app.inputDevices() : QList<AudioInputDevice>();
    rebuildPickers();
    showMicrophoneStatus();
    updateEnabled();
}

void RecordingTab::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refreshRecordingDevices();
}

void RecordingTab::rebuildPickers()
{
    m_source->clear();
    for (const RecordingSource& source : sourceChoices(m_apps, m_copy.recordingSource))
        m_source->addItem(source.isApp() ? source.name : QStringLiteral("All audio"), QVariant::fromValue(source));
    m_source->setCurrentIndex(m_source->findData(QVariant::fromValue(m_copy.recordingSource)));

    m_microphone->clear();
    m_microphone->addItem(QStringLiteral("System default"), QVariant());
    for (const AudioInputDevice& device : inputChoices(m_inputs, m_copy.recordingMicrophoneUid))
        m_microphone->addItem(device.name, device.uid);
    m_microphone->setCurrentIndex(m_copy.recordingMicrophoneUid ? m_microphone->findData(*m_copy.recordingMicrophoneUid)
                                                                : 0);
}

void RecordingTab::showMicrophoneStatus()
{
    m_status->setText(statusText(m_microphoneStatus));
    FormSection::setTone(m_status, m_microphoneStatus == RecordingPermissions::MicrophoneStatus::Denied
                                       ? FormSection::Tone::Warning
                                       : FormSection::Tone::Secondary);
    m_allow->setVisible(m_microphoneStatus == RecordingPermissions::MicrophoneStatus::NotDetermined);
}

void RecordingTab::updateEnabled()
{
    m_microphone->setEnabled(m_copy.recordingIncludeMicrophone);
    m_echo->setEnabled(m_copy.recordingIncludeMicrophone);
    m_consentText->setEnabled(m_copy.recordingConsentReminder);
    m_restart->setVisible(!(m_app.recordingIsActive && m_app.recordingIsActive()));
}

QCoro::Task<> RecordingTab::allow(QPointer<RecordingTab> self)
{
    co_await RecordingPermissions::requestMicrophone();
    if (!self)
        co_return;
    self->m_microphoneStatus = RecordingPermissions::microphoneStatus();
    self->showMicrophoneStatus();
}

}  // namespace harkwell
