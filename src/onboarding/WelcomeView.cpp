#include "onboarding/WelcomeView.h"

#include "foundation/HarkwellLog.h"
#include "foundation/HotkeyNames.h"
#include "foundation/Opening.h"
#include "foundation/Settings.h"
#include "onboarding/ActionCard.h"
#include "onboarding/CreateVaultSheet.h"
#include "platform/dialogs/FolderChooser.h"
#include "onboarding/VaultDetection.h"
#include "onboarding/VaultDetector.h"
#include "onboarding/VaultRow.h"
#include "onboarding/WelcomeStyle.h"
#include "platform/identity/Identity.h"
#include "platform/paths/Paths.h"

#include <QApplication>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace harkwell {

namespace {

struct GuideEntry {
    const char* icon;
    QString title;
    QString text;
};

QFrame* divider(QWidget* parent)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

bool settingsFileExists() { return QFileInfo::exists(Settings::shared().configPath()); }

}  // namespace

WelcomeView::WelcomeView(std::function<void()> onComplete, Detector detector, FolderChooser& chooser,
                         const WelcomeBranding& branding, QWidget* parent)
    : QWidget(parent), m_onComplete(std::move(onComplete)), m_detector(std::move(detector)), m_chooser(chooser),
      m_branding(branding)
{
    if (!m_branding.accent.isValid())
        m_branding.accent = palette().color(QPalette::Highlight);
    if (m_branding.productPage.isEmpty())
        m_branding.productPage = QUrl(QString::fromLatin1(identity::kLinkRoot));
    if (m_branding.appIcon.isNull())
        m_branding.appIcon = QApplication::windowIcon();

    setMinimumSize(kMinimumWidth, kMinimumHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildHeader());
    layout->addWidget(divider(this));
    layout->addWidget(buildContent(), 1);
    layout->addWidget(divider(this));
    layout->addWidget(buildFooter());
    refreshSettingsTexts();
    connect(&VaultDetection::shared(), &VaultDetection::finished, this, &WelcomeView::takeCandidates);
}

QWidget* WelcomeView::buildHeader()
{
    auto* header = new QWidget(this);
    auto* layout = new QVBoxLayout(header);
    layout->setContentsMargins(20, 20, 20, 16);
    layout->setSpacing(6);
    if (!m_branding.appIcon.isNull()) {
        auto* icon = new QLabel(header);
        icon->setPixmap(m_branding.appIcon.pixmap(80, 80));
        icon->setAlignment(Qt::AlignCenter);
        layout->addWidget(icon);
    }
    auto* title = new QLabel(QStringLiteral("Welcome to harkwell"), header);
    QFont font = title->font();
    font.setPointSizeF(font.pointSizeF() * 1.4);
    font.setWeight(QFont::DemiBold);
    title->setFont(font);
    title->setAlignment(Qt::AlignCenter);
    auto* line = new QLabel(QStringLiteral("Capture what is said, and keep your vault one click away."), header);
    line->setAlignment(Qt::AlignCenter);
    line->setWordWrap(true);
    WelcomeStyle::setSecondary(line);
    layout->addWidget(title);
    layout->addWidget(line);
    return header;
}

QWidget* WelcomeView::buildContent()
{
    m_stack = new QStackedWidget(this);

    auto* loading = new QWidget(m_stack);
    auto* loadingLayout = new QVBoxLayout(loading);
    loadingLayout->addStretch();
    auto* spinner = new QProgressBar(loading);
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedWidth(120);
    loadingLayout->addWidget(spinner, 0, Qt::AlignHCenter);
    m_loadingLabel = new QLabel(QStringLiteral("Looking for vaults on this computer\u2026"), loading);
    WelcomeStyle::setCaption(m_loadingLabel);
    loadingLayout->addWidget(m_loadingLabel, 0, Qt::AlignHCenter);
    loadingLayout->addStretch();
    m_stack->addWidget(loading);

    auto* scroll = new QScrollArea(m_stack);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* list = new QWidget(scroll);
    auto* listLayout = new QVBoxLayout(list);
    listLayout->setContentsMargins(20, 16, 20, 16);
    listLayout->setSpacing(10);
    listLayout->addWidget(buildGuide());

    m_heading = new QLabel(list);
    WelcomeStyle::setHeadline(m_heading);
    listLayout->addWidget(m_heading);
    m_emptyText = new QLabel(QStringLiteral("No Obsidian vaults found on this computer."), list);
    WelcomeStyle::setSecondary(m_emptyText);
    listLayout->addWidget(m_emptyText);
    m_currentVault = new QLabel(list);
    m_currentVault->setTextFormat(Qt::PlainText);
    m_currentVault->setWordWrap(true);
    WelcomeStyle::setCaption(m_currentVault);
    m_currentVault->hide();
    listLayout->addWidget(m_currentVault);
    m_rowsLayout = new QVBoxLayout;
    m_rowsLayout->setSpacing(8);
    listLayout->addLayout(m_rowsLayout);

    m_createCard = new ActionCard(QStringLiteral("Create a new vault"),
                                  QStringLiteral("Pick a parent folder, name it. We'll set up the nookwise layout (_outbox/)."),
                                  QStringLiteral("folder.badge.plus"), list);
    m_customCard = new ActionCard(QStringLiteral("Use a custom folder"),
                                  QStringLiteral("Point harkwell at any folder you already work in."),
                                  QStringLiteral("folder"), list);
    connect(m_createCard, &QAbstractButton::clicked, this, &WelcomeView::showCreateSheet);
    connect(m_customCard, &QAbstractButton::clicked, this, &WelcomeView::pickCustomFolder);
    listLayout->addWidget(m_createCard);
    listLayout->addWidget(m_customCard);
    listLayout->addStretch();
    scroll->setWidget(list);
    m_stack->addWidget(scroll);

    m_stack->setCurrentIndex(0);
    return m_stack;
}

QWidget* WelcomeView::buildGuide()
{
    auto* guide = new QWidget(this);
    auto* layout = new QVBoxLayout(guide);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* heading = new QLabel(QStringLiteral("How harkwell works"), guide);
    WelcomeStyle::setHeadline(heading);
    layout->addWidget(heading);

    const GuideEntry entries[] = {
        {"record.circle", QStringLiteral("Record…"),
         QStringLiteral("Records a call or meeting (this computer's sound and your microphone) and sends it to Mirelon. "
                        "%1 starts it.")
             .arg(HotkeyNames::shared().record())},
        {"waveform", QStringLiteral("Captures"),
         QStringLiteral("New Voice Memos are sent to Mirelon; each transcript lands in your vault as _inbox/<date-time>.md.")},
        {"tray.full", QStringLiteral("Vault"),
         QStringLiteral("Your vault's structure: Today and Recent (files you changed), Inbox (_inbox/: new transcripts, for "
                        "nookwise' /inbox to file), Outbox (_outbox/: deliveries to send), Handoff (.handoff/: context for "
                        "another session).")},
        {"magnifyingglass", QStringLiteral("Search Vault… (%1)").arg(HotkeyNames::shared().search()),
         QStringLiteral("Find any file; narrow it to Inbox, Outbox or Handoff.")},
        {"gearshape", QStringLiteral("Settings…"),
         QStringLiteral("Connect to Mirelon, choose what is captured, hidden files, notifications, updates.")},
    };
    for (const GuideEntry& entry : entries) {
        auto* row = new QHBoxLayout;
        row->setSpacing(8);
        row->addWidget(WelcomeStyle::symbol(QString::fromLatin1(entry.icon), guide, 20), 0, Qt::AlignTop);
        auto* lines = new QVBoxLayout;
        lines->setSpacing(1);
        auto* title = new QLabel(entry.title, guide);
        WelcomeStyle::setMedium(title);
        auto* text = new QLabel(entry.text, guide);
        text->setWordWrap(true);
        text->setTextFormat(Qt::PlainText);
        WelcomeStyle::setCaption(text);
        lines->addWidget(title);
        lines->addWidget(text);
        row->addLayout(lines, 1);
        layout->addLayout(row);
    }

    m_guideLink = new QLabel(guide);
    m_guideLink->setText(QStringLiteral("<a href=\"guide\">%1</a>")
                             .arg((QStringLiteral("The full guide on ") + m_branding.productPage.host()).toHtmlEscaped()));
    WelcomeStyle::setCaption(m_guideLink);
    connect(m_guideLink, &QLabel::linkActivated, this, [this] { Opening::openWithoutWaiting(m_branding.productPage); });
    layout->addWidget(m_guideLink);
    return guide;
}

QWidget* WelcomeView::buildFooter()
{
    auto* footer = new QWidget(this);
    auto* layout = new QHBoxLayout(footer);
    layout->setContentsMargins(20, 10, 20, 12);
    auto* link = new QLabel(QStringLiteral("<a href=\"nookwise\">Works with nookwise</a>"), footer);
    WelcomeStyle::setCaption(link);
    connect(link, &QLabel::linkActivated, this, [] {
        Opening::openWithoutWaiting(QUrl(QString::fromLatin1(VaultDetector::kNookwiseRepository)));
    });
    layout->addWidget(link);
    layout->addStretch();
    m_footerButton = new QPushButton(footer);
    m_footerButton->setDefault(true);
    connect(m_footerButton, &QPushButton::clicked, this, [this] {
        // Writing even the untouched defaults marks onboarding as seen: the app stops showing the window.
        saveAndComplete();
    });
    layout->addWidget(m_footerButton);

    auto* outer = new QWidget(this);
    auto* outerLayout = new QVBoxLayout(outer);
    outerLayout->setContentsMargins(0, 0, 0, 0);
    outerLayout->setSpacing(0);
    m_saveError = new QLabel(outer);
    m_saveError->setObjectName(QStringLiteral("saveError"));
    m_saveError->setWordWrap(true);
    m_saveError->setTextFormat(Qt::PlainText);
    m_saveError->setContentsMargins(20, 8, 20, 0);
    QPalette palette = m_saveError->palette();
    palette.setColor(QPalette::WindowText, QColor(0xFF, 0x3B, 0x30));
    m_saveError->setPalette(palette);
    m_saveError->hide();
    outerLayout->addWidget(m_saveError);
    outerLayout->addWidget(footer);
    return outer;
}

QSize WelcomeView::sizeHint() const { return {kWidth, kHeight}; }

QString WelcomeView::saveErrorText() const { return m_saveError->isHidden() ? QString() : m_saveError->text(); }

QString WelcomeView::guideLinkText() const { return QStringLiteral("The full guide on ") + m_branding.productPage.host(); }

void WelcomeView::refreshSettingsTexts()
{
    const bool exists = settingsFileExists();
    m_heading->setText(exists ? QStringLiteral("Your vault, or another one") : QStringLiteral("Pick a vault"));
    m_footerButton->setText(exists ? QStringLiteral("Done") : QStringLiteral("Skip for now"));
}

void WelcomeView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refreshSettingsTexts();
    loadCandidates();
}

void WelcomeView::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange)
        refreshSettingsTexts();
}

void WelcomeView::loadCandidates()
{
    // A run already under way answers this window too.
    VaultDetection::shared().start(m_detector);
}

void WelcomeView::takeCandidates(const QList<VaultCandidate>& candidates)
{
    m_candidates = candidates;
    m_loading = false;
    showCandidates();
}

void WelcomeView::showCandidates()
{
    while (QLayoutItem* item = m_rowsLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const VaultCandidate& candidate : m_candidates) {
        auto* row = new VaultRow(
            candidate, [this, path = candidate.path, name = candidate.name] { commitVault(path, name); },
            m_branding.accent, m_rowsLayout->parentWidget());
        m_rowsLayout->addWidget(row);
    }
    m_heading->setVisible(!m_candidates.isEmpty());
    m_emptyText->setVisible(m_candidates.isEmpty());
    // A vault chosen before but without Obsidian's folder is found by no search: it is named here,
    // else the window reads as if there were no vault at all.
    const QString vaultPath = Settings::shared().settings().vaultPath;
    const QString vaultId = Paths::expandTilde(vaultPath);
    const bool listed = std::any_of(m_candidates.begin(), m_candidates.end(),
                                    [&](const VaultCandidate& candidate) { return candidate.id == vaultId; });
    m_currentVault->setText(QStringLiteral("Using ") + vaultPath);
    m_currentVault->setVisible(!vaultPath.isEmpty() && !listed && settingsFileExists());
    refreshSettingsTexts();
    m_stack->setCurrentIndex(1);
}

QList<VaultRow*> WelcomeView::rows() const
{
    QList<VaultRow*> rows;
    for (int i = 0; i < m_rowsLayout->count(); ++i)
        if (auto* row = qobject_cast<VaultRow*>(m_rowsLayout->itemAt(i)->widget()))
            rows.append(row);
    return rows;
}

QString WelcomeView::heading() const { return m_loading || m_candidates.isEmpty() ? QString() : m_heading->text(); }

QString WelcomeView::emptyText() const { return !m_loading && m_candidates.isEmpty() ? m_emptyText->text() : QString(); }

QString WelcomeView::loadingText() const { return m_stack->currentIndex() == 0 ? m_loadingLabel->text() : QString(); }

void WelcomeView::commitVault(const QString& path, const QString& vaultName)
{
    const QString expanded = Paths::expandTilde(path);
    VaultDetector::ensureOutbox(expanded);
    Settings& settings = Settings::shared();
    settings.update([&](AppSettings& record) {
        record.vaultPath = expanded;
        record.vaultName = vaultName;
        record.additionalPaths.clear();
        record.remotesPath.reset();
    });
    saveAndComplete();
}

void WelcomeView::saveAndComplete()
{
    // A choice that did not reach the file would be gone at the next start: the window stays,
    // says why, and the user can try again or pick another way.
    if (const auto saved = Settings::shared().save(); !saved) {
        HarkwellLog::log(QStringLiteral("[harkwell] welcome: could not save the settings: %1").arg(saved.error().text));
        m_saveError->setText(QStringLiteral("Not saved: ") + saved.error().text);
        m_saveError->show();
        return;
    }
    m_saveError->hide();
    m_onComplete();
}

void WelcomeView::pickCustomFolder()
{
    // Next to the vault in use, else home: never the folder the app happened to be started from.
    const QString vaultPath = Settings::shared().settings().vaultPath;
    const QString parent = vaultPath.isEmpty() ? QString() : QFileInfo(Paths::expandTilde(vaultPath)).absolutePath();
    const QString start = !parent.isEmpty() && QFileInfo(parent).isDir() ? parent : Paths::home();
    const auto chosen = m_chooser.chooseFolder(
        this, FolderPanel{QStringLiteral("Use this folder"), QStringLiteral("Pick the folder harkwell should watch."), start});
    if (!chosen)
        return;
    commitVault(*chosen, QFileInfo(*chosen).fileName());
}

void WelcomeView::showCreateSheet()
{
    if (m_sheet)
        return;
    m_sheet = new CreateVaultSheet(
        [this] { hideCreateSheet(); },
        [this](const QString& path) {
            hideCreateSheet();
            commitVault(path, QFileInfo(path).fileName());
        },
        m_chooser, this);
    m_sheet->open();
}

void WelcomeView::hideCreateSheet()
{
    if (!m_sheet)
        return;
    m_sheet->hide();
    m_sheet->deleteLater();
    m_sheet = nullptr;
}

}  // namespace harkwell
