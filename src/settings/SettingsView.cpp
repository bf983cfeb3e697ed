#include "settings/SettingsView.h"

#include "capture/CaptureImport.h"
#include "foundation/Settings.h"
#include "pipeline/TranscriptNotifier.h"
#include "platform/clock/Clock.h"
#include "service/MirelonAuth.h"
#include "settings/CaptureJobs.h"
#include "settings/CapturesTab.h"
#include "settings/FilesTab.h"
#include "settings/FormSection.h"
#include "settings/GeneralTab.h"
#include "settings/ImportExistingSheet.h"
#include "settings/NotifyTab.h"
#include "settings/PathsTab.h"
#include "settings/RecordingTab.h"
#include "settings/ScanningTab.h"
#include "settings/SyncSheet.h"
#include "settings/WatchedFoldersSection.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace harkwell {

namespace {

QString queuedMessage(int queued)
{
    if (queued == 0)
        return QStringLiteral("No recordings to send.");
    return QStringLiteral("Queued %1 recording%2. They are uploaded one at a time over the next minutes; anything "
                          "Mirelon already has is not transcribed again.")
        .arg(queued)
        .arg(queued == 1 ? "" : "s");
}

}  // namespace

SettingsView::SettingsView(SettingsServices services, QWidget* parent)
    : QWidget(parent), m_services(std::move(services)), m_copy(SettingsEditingCopy::load(*m_services.settings))
{
    // Shows "connected" at once when a token is already stored.
    m_auth = std::make_unique<MirelonAuth>(*m_services.clock, *m_services.session, m_services.pairingResume);
    m_auth->refreshConnectedState();
    m_jobs = new CaptureJobs(m_services, this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 12, 0, 0);
    layout->setSpacing(0);
    m_tabs = new QTabWidget(this);
    m_tabs->addTab(new GeneralTab(m_copy, m_services, m_tabs), QIcon::fromTheme(QStringLiteral("preferences-system")),
                   QStringLiteral("General"));
    m_tabs->addTab(new PathsTab(m_copy, *m_services.settings, m_tabs), QIcon::fromTheme(QStringLiteral("folder")),
                   QStringLiteral("Paths"));
    m_tabs->addTab(new ScanningTab(m_copy, m_tabs), QIcon::fromTheme(QStringLiteral("view-refresh")),
                   QStringLiteral("Scanning"));
    m_tabs->addTab(new FilesTab(m_copy, m_tabs), QIcon::fromTheme(QStringLiteral("text-x-generic")),
                   QStringLiteral("Files"));
    m_captures = new CapturesTab(m_copy, m_services, *m_auth, *m_jobs, m_tabs);
    connect(m_captures, &CapturesTab::importRequested, this, &SettingsView::showImportSheet);
    m_tabs->addTab(m_captures, QIcon::fromTheme(QStringLiteral("audio-x-generic")), QStringLiteral("Captures"));
    m_tabs->addTab(new RecordingTab(m_copy, m_services.app, m_tabs), QIcon::fromTheme(QStringLiteral("media-record")),
                   QStringLiteral("Recording"));
    m_tabs->addTab(new NotifyTab(m_copy, *m_services.notifier, m_tabs),
                   QIcon::fromTheme(QStringLiteral("preferences-desktop-notification")), QStringLiteral("Notify"));
    layout->addWidget(m_tabs, 1);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    layout->addWidget(divider);

    auto* footer = new QWidget(this);
    auto* footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(20, 12, 20, 12);
    footerLayout->setSpacing(8);
    m_savedLabel = FormSection::caption(QString(), footer);
    m_savedLabel->setObjectName(QStringLiteral("saved"));
    m_savedLabel->hide();
    footerLayout->addWidget(m_savedLabel);
    m_restart = new QPushButton(QStringLiteral("Restart to apply"), footer);
    m_restart->setFlat(true);
    m_restart->setAutoDefault(false);
    connect(m_restart, &QPushButton::clicked, this, [this] {
        if (m_services.app.promptAndRelaunch)
            m_services.app.promptAndRelaunch(QString::fromLatin1(kRestartReason));
    });
    m_restart->hide();
    footerLayout->addWidget(m_restart);
    footerLayout->addStretch(1);
    auto* saveButton = new QPushButton(QStringLiteral("Save"), footer);
    saveButton->setDefault(true);
    connect(saveButton, &QPushButton::clicked, this, &SettingsView::save);
    footerLayout->addWidget(saveButton);
    layout->addWidget(footer);

    connect(m_jobs, &CaptureJobs::changed, this, &SettingsView::followSyncSheet);
    setFixedSize(560, 460);
}

SettingsView::~SettingsView() = default;

void SettingsView::save()
{
    Settings& settings = *m_services.settings;
    const AppSettings record = m_copy.appliedTo(settings.settings());
    settings.setSettings(record);
    const std::expected<void, FileError> written = settings.save();

    const SettingsAppHooks& app = m_services.app;
    if (app.recordingIsActive && app.recordingIsActive() && app.applyEchoCancellation)
        app.applyEchoCancellation();
    if (app.applyCaptureSettings)
        app.applyCaptureSettings();
    if (app.applyQuickKey)
        app.applyQuickKey();

    m_saved = written.has_value();
    // The settings are in effect until harkwell quits either way; a file that was not written must
    // not read as saved, or the user finds the old settings after the next start.
    m_savedLabel->setText(written ? QStringLiteral("Saved.") : QStringLiteral("Not saved: ") + written.error().text);
    FormSection::setTone(m_savedLabel, written ? FormSection::Tone::Secondary : FormSection::Tone::Error);
    m_savedLabel->show();
    m_restart->setVisible(m_saved);
    m_captures->folders().refresh();
}

void SettingsView::sendExisting(const std::optional<QDateTime>& since)
{
    const auto result = CaptureImport::queueExisting(since, *m_services.seenLedger, *m_services.files);
    m_importMessage = result ? queuedMessage(result->queued) : result.error().text();
    m_captures->folders().setImportMessage(m_importMessage);
}

void SettingsView::showImportSheet()
{
    if (m_importSheet && m_importSheet->isVisible())
        return;
    auto* sheet = new ImportExistingSheet(m_services.clock->now(), *m_services.files, window());
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet, &ImportExistingSheet::sendRequested, this, &SettingsView::sendExisting);
    m_importSheet = sheet;
    sheet->open();
}

void SettingsView::followSyncSheet()
{
    if (!m_jobs->showSyncSheet()) {
        if (m_syncSheet) {
            m_syncSheet->hide();
            m_syncSheet->deleteLater();
        }
        m_syncSheet = nullptr;
        return;
    }
    if (!m_syncSheet) {
        auto* sheet = new SyncSheet(window());
        connect(sheet, &SyncSheet::cancelRequested, m_jobs, &CaptureJobs::cancelSync);
        connect(sheet, &SyncSheet::doneRequested, m_jobs, &CaptureJobs::dismissSyncSheet);
        m_syncSheet = sheet;
        sheet->open();
    }
    m_syncSheet->setProgress(m_jobs->syncProgress());
}

}  // namespace harkwell
