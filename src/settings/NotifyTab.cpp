#include "settings/NotifyTab.h"

#include "pipeline/TranscriptNotifier.h"
#include "settings/FormSection.h"
#include "settings/SettingsEditingCopy.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace harkwell {

NotifyTab::NotifyTab(SettingsEditingCopy& copy, TranscriptNotifier& notifier, QWidget* parent)
    : QWidget(parent), m_notifier(notifier)
{
    auto* layout = new QVBoxLayout(this);

    auto* transcripts = new FormSection(QStringLiteral("Transcripts"), this);
    auto toggle = [&](const QString& label, bool& field, const QString& name) {
        auto* box = new QCheckBox(label, transcripts);
        box->setObjectName(name);
        box->setChecked(field);
        connect(box, &QCheckBox::toggled, this, [&field](bool on) { field = on; });
        transcripts->addRow(box);
    };
    toggle(QStringLiteral("Notify me when a voice memo is sent"), copy.notifyVoiceMemoSent,
           QStringLiteral("notifyVoiceMemoSent"));
    toggle(QStringLiteral("Notify me when a transcript is ready"), copy.notifyTranscriptReady,
           QStringLiteral("notifyTranscriptReady"));
    toggle(QStringLiteral("Notify me when a transcript fails"), copy.notifyTranscriptFailed,
           QStringLiteral("notifyTranscriptFailed"));
    transcripts->setFooter(QStringLiteral(
        "\"Sending to Mirelon\" confirms that a voice memo from Voice Memos was picked up; it turns into \"Transcript "
        "ready\" when the transcript is back, so one memo gives one notification. \"Transcript ready\" shows the title "
        "Mirelon gave it and the length; a click opens it, in Obsidian when the vault is an Obsidian vault. A batch "
        "gives one summary. A failure says why and how to send it again."));
    layout->addWidget(transcripts);

    auto* permission = new FormSection(QStringLiteral("Permission"), this);
    m_permission = new QLabel(permission);
    m_permission->setObjectName(QStringLiteral("notificationPermission"));
    permission->addRow(QStringLiteral("Desktop:"), m_permission);
    auto* open = new QPushButton(QStringLiteral("Open Notification settings…"), permission);
    connect(open, &QPushButton::clicked, this, [] { TranscriptNotifier::openNotificationSettings(); });
    auto* test = new QPushButton(QStringLiteral("Send test notification"), permission);
    connect(test, &QPushButton::clicked, this, [this] { m_notifier.sendTest(); });
    permission->addRow(FormSection::row({open, test, nullptr}, permission));
    permission->setFooter(QStringLiteral("The desktop's notification service shows harkwell's notifications; none show when no "
                                         "service answers. Recording reminders use the same service."));
    layout->addWidget(permission);
    layout->addStretch(1);

    // Until the first answer the row reads as allowed.
    m_permission->setText(QStringLiteral("Allowed, or asked the first time"));
    FormSection::setTone(m_permission, FormSection::Tone::Secondary);
}

void NotifyTab::refreshPermission()
{
    const bool denied = m_notifier.notificationsDenied();
    m_permission->setText(denied ? QStringLiteral("Notifications are off for harkwell")
                                 : QStringLiteral("Allowed, or asked the first time"));
    FormSection::setTone(m_permission, denied ? FormSection::Tone::Warning : FormSection::Tone::Secondary);
}

void NotifyTab::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refreshPermission();
}

}  // namespace harkwell
