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

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QTabBar>
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
    : QWidget(parent), m_services(std::move(services)), m_copy(SettingsEditingCopy::load(*m_services.settings)),
      m_loaded(m_copy)
{
    // Shows "connected" at once when a token is already stored.
    m_auth = std::make_unique<MirelonAuth>(*m_services.clock, *m_services.session, m_services.pairingResume);
    m_auth->refreshConnectedState();
    m_jobs = new CaptureJobs(m_services, this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 12, 0, 0);
    layout->setSpacing(0);
    m_tabs = new QTabWidget(this);
    // Every section's tab stays in sight: the window grows to its tab bar instead of hiding the
    // last tabs behind scroll arrows, whatever the style's metrics.
    m_tabs->setUsesScrollButtons(false);
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
    footerLayout->addWidget(m_savedLabel, 1);
    m_restart = FormSection::linkButton(QStringLiteral("Restart to apply"), footer);
    m_restart->setFont(m_savedLabel->font());
    connect(m_restart, &QPushButton::clicked, this, [this] {
        if (m_services.app.promptAndRelaunch)
            m_services.app.promptAndRelaunch(QString::fromLatin1(kRestartReason));
    });
    m_restart->hide();
    footerLayout->addWidget(m_restart);
    footerLayout->addStretch(1);
    m_cancelButton = new QPushButton(QStringLiteral("Cancel"), footer);
    m_cancelButton->setAutoDefault(false);
    connect(m_cancelButton, &QPushButton::clicked, this, [this] {
        if (auto* dialog = qobject_cast<QDialog*>(window()))
            dialog->reject();
    });
    footerLayout->addWidget(m_cancelButton);
    m_saveButton = new QPushButton(QStringLiteral("Save"), footer);
    m_saveButton->setDefault(true);
    connect(m_saveButton, &QPushButton::clicked, this, &SettingsView::save);
    footerLayout->addWidget(m_saveButton);
    layout->addWidget(footer);

    buildTabs();
    connect(m_jobs, &CaptureJobs::changed, this, &SettingsView::followSyncSheet);
    // Return saves in every pairing state: the state's buttons are drawn afresh each time, and
    // none of them may take the default over.
    connect(m_auth.get(), &MirelonAuth::stateChanged, this, [this] { m_saveButton->setDefault(true); });
    setMinimumSize(std::max(kMinimumWidth, m_tabs->tabBar()->sizeHint().width() + 2 * kTabBarMargin), kMinimumHeight);
}

SettingsView::~SettingsView() = default;

void SettingsView::buildTabs()
{
    const int current = m_tabs->currentIndex();
    while (m_tabs->count() > 0) {
        QWidget* page = m_tabs->widget(0);
        m_tabs->removeTab(0);
        // Out of the window at once, gone once the current event (a Save from a field) is over.
        page->hide();
        page->setParent(nullptr);
        page->deleteLater();
    }
    // Each page scrolls, so that no control is squeezed below its size on a small window; pages
    // never scroll sideways, their texts wrap instead.
    auto addPage = [this](QWidget* content, const char* icon, const char* label) {
        auto* scroll = new QScrollArea(m_tabs);
        scroll->setObjectName(QString::fromLatin1(label));
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        // The page itself is no stop on the way from one control to the next.
        scroll->setFocusPolicy(Qt::NoFocus);
        scroll->setWidget(content);
        m_tabs->addTab(scroll, QIcon::fromTheme(QString::fromLatin1(icon)), QString::fromLatin1(label));
    };
    addPage(new GeneralTab(m_copy, m_services), "preferences-system", "General");
    addPage(new PathsTab(m_copy, *m_services.settings), "folder", "Paths");
    addPage(new ScanningTab(m_copy), "view-refresh", "Scanning");
    addPage(new FilesTab(m_copy), "text-x-generic", "Files");
    m_captures = new CapturesTab(m_copy, m_services, *m_auth, *m_jobs);
    connect(m_captures, &CapturesTab::importRequested, this, &SettingsView::showImportSheet);
    addPage(m_captures, "audio-x-generic", "Captures");
    // Without a way to capture the system's sound there is nothing to set up for recording; its
    // keys are still loaded and saved.
    if (!m_services.app.recordingSupported || m_services.app.recordingSupported())
        addPage(new RecordingTab(m_copy, m_services.app), "media-record", "Recording");
    addPage(new NotifyTab(m_copy, *m_services.notifier), "preferences-desktop-notification", "Notify");
    if (current >= 0)
        m_tabs->setCurrentIndex(std::min(current, m_tabs->count() - 1));
    watchForEdits();
}

void SettingsView::watchForEdits()
{
    // Queued: each tab writes its control into the copy first, then the footer looks.
    auto follow = [this] { QMetaObject::invokeMethod(this, &SettingsView::followEdits, Qt::QueuedConnection); };
    for (QLineEdit* edit : m_tabs->findChildren<QLineEdit*>())
        connect(edit, &QLineEdit::textChanged, this, follow);
    for (QPlainTextEdit* edit : m_tabs->findChildren<QPlainTextEdit*>())
        connect(edit, &QPlainTextEdit::textChanged, this, follow);
    for (QAbstractButton* button : m_tabs->findChildren<QAbstractButton*>())
        connect(button, &QAbstractButton::toggled, this, follow);
    for (QComboBox* box : m_tabs->findChildren<QComboBox*>())
        connect(box, &QComboBox::currentIndexChanged, this, follow);
    for (QAbstractSpinBox* box : m_tabs->findChildren<QAbstractSpinBox*>())
        connect(box, &QAbstractSpinBox::editingFinished, this, follow);
}

void SettingsView::followEdits()
{
    if (!hasEdits())
        return;
    m_savedLabel->hide();
    m_restart->hide();
}

void SettingsView::discardEdits()
{
    m_copy = SettingsEditingCopy::load(*m_services.settings);
    m_loaded = m_copy;
    m_savedLabel->hide();
    m_restart->hide();
    buildTabs();
}

QSize SettingsView::sizeHint() const
{
    // Wide enough that no page needs to squeeze a row, high as the window has always opened.
    int width = kWidth;
    for (int i = 0; i < m_tabs->count(); ++i) {
        if (const auto* scroll = qobject_cast<const QScrollArea*>(m_tabs->widget(i)))
            width = std::max(width, scroll->widget()->minimumSizeHint().width() +
                                        scroll->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 16);
    }
    return {width, kHeight};
}

void SettingsView::save()
{
    Settings& settings = *m_services.settings;
    // Only the fields the user changed are taken from the copy: a vault chosen in the welcome
    // window while this one was open stays chosen.
    const SettingsEditingCopy merged =
        SettingsEditingCopy::withEdits(SettingsEditingCopy::load(settings), m_copy, m_loaded);
    const AppSettings record = merged.appliedTo(settings.settings());
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

    const bool changedElsewhere = !(merged == m_copy);
    m_copy = merged;
    m_loaded = merged;
    if (changedElsewhere)
        buildTabs();
    m_captures->folders().refresh();
}

void SettingsView::reloadIfUnedited()
{
    if (hasEdits())
        return;
    SettingsEditingCopy stored = SettingsEditingCopy::load(*m_services.settings);
    if (stored == m_copy)
        return;
    m_copy = stored;
    m_loaded = std::move(stored);
    buildTabs();
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
