#include "settings/CapturesTab.h"

#include "service/MirelonAuth.h"
#include "settings/CaptureJobs.h"
#include "settings/FormSection.h"
#include "settings/MirelonSection.h"
#include "settings/SettingsEditingCopy.h"
#include "settings/WatchedFoldersSection.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace harkwell {

CapturesTab::CapturesTab(SettingsEditingCopy& copy, const SettingsServices& services, MirelonAuth& auth,
                         CaptureJobs& jobs, QWidget* parent)
    : QWidget(parent), m_copy(copy), m_jobs(jobs)
{
    QWidget* content = this;
    auto* layout = new QVBoxLayout(content);

    m_folders = new WatchedFoldersSection(copy, services, content);
    connect(m_folders, &WatchedFoldersSection::importRequested, this, &CapturesTab::importRequested);
    layout->addWidget(m_folders);
    layout->addWidget(new MirelonSection(copy, auth, content));

    auto* after = new FormSection(QStringLiteral("After a transcript"), content);
    auto* on = new QCheckBox(QStringLiteral("After a transcript, run a command"), after);
    on->setObjectName(QStringLiteral("afterTranscriptOn"));
    on->setChecked(copy.afterTranscriptOn);
    after->addRow(on);
    auto* command = new QLineEdit(copy.afterTranscriptCommand, after);
    command->setObjectName(QStringLiteral("afterTranscriptCommand"));
    command->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    command->setPlaceholderText(QStringLiteral("claude -p \"/inbox\""));
    command->setEnabled(copy.afterTranscriptOn);
    connect(command, &QLineEdit::textEdited, this, [this](const QString& text) { m_copy.afterTranscriptCommand = text; });
    connect(on, &QCheckBox::toggled, this, [this, command](bool checked) {
        m_copy.afterTranscriptOn = checked;
        command->setEnabled(checked);
    });
    after->addRow(command);
    after->setFooter(QStringLiteral(
        "Runs each time a transcript is written, with /bin/zsh -lc in the vault folder. It gets HARKWELL_ID, "
        "HARKWELL_FILE (the .md) and HARKWELL_FOLDER. Example: claude -p \"/inbox\" runs nookwise on the new item. One "
        "run per transcript, stopped after 10 minutes; the end of its output goes to the capture log."));
    layout->addWidget(after);

    auto* sync = new FormSection(QStringLiteral("Sync"), content);
    m_sync = new QPushButton(QStringLiteral("Sync from Mirelon…"), sync);
    connect(m_sync, &QPushButton::clicked, this, [this] { m_jobs.startSync(m_copy); });
    sync->addRow(FormSection::row({m_sync, nullptr}, sync));
    m_retry = new QPushButton(sync);
    m_retry->setObjectName(QStringLiteral("retry"));
    connect(m_retry, &QPushButton::clicked, this, [this] { m_jobs.startRetry(m_copy); });
    sync->addRow(FormSection::row({m_retry, nullptr}, sync));
    m_retryLine = FormSection::caption(QString(), sync);
    m_retryLine->setObjectName(QStringLiteral("retryProgress"));
    sync->addRow(m_retryLine);
    sync->setFooter(syncFooter());
    layout->addWidget(sync);
    layout->addStretch(1);

    // Upload and the folder list change which sync actions are possible.
    connect(m_folders, &WatchedFoldersSection::edited, this, &CapturesTab::updateSync);
    connect(&m_jobs, &CaptureJobs::changed, this, &CapturesTab::updateSync);
    // Pairing and disconnecting act at once, so the buttons follow them at once.
    connect(&auth, &MirelonAuth::stateChanged, this, &CapturesTab::updateSync);
    updateSync();
}

QString CapturesTab::syncFooter()
{
    return QStringLiteral(
        "Sync pulls every transcript from your Mirelon account into <vault>/_inbox/; items already there are skipped. "
        "Upload pending captures pushes the other way: captures taken while upload was off, or whose upload or "
        "transcription failed. Captures harkwell was still working on when it stopped are picked up again by "
        "themselves at the next start. Both skip anything already complete. The same three actions exist in "
        "harkwell-capture: sync, retry, import-existing.");
}

void CapturesTab::updateSync()
{
    m_sync->setEnabled(m_jobs.syncEnabled(m_copy));
    m_retry->setText(CaptureJobs::retryButtonTitle(m_jobs.retryPending()));
    m_retry->setEnabled(m_jobs.retryEnabled(m_copy));
    m_retryLine->setText(CaptureJobs::retryLine(m_jobs.retryProgress()));
    m_retryLine->setVisible(!m_retryLine->text().isEmpty());
}

void CapturesTab::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_folders->refreshFolderStates();
    m_jobs.countPending();
}

}  // namespace harkwell
