#include "app/HarkwellApp.h"

#include "app/AppRelaunch.h"
#include "app/AppServices.h"
#include "app/MenuRenderer.h"
#include "app/MenuWindow.h"
#include "app/NotificationDelegate.h"
#include "audio/RecordingPermissions.h"
#include "capture/CaptureAccess.h"
#include "capture/VoiceMemosKeeper.h"
#include "foundation/HarkwellLog.h"
#include "foundation/Opening.h"
#include "foundation/OutboxManager.h"
#include "foundation/Settings.h"
#include "pipeline/CaptureStatus.h"
#include "platform/apps/ApplicationLauncher.h"
#include "platform/defaults/Defaults.h"
#include "platform/mail/MailComposer.h"
#include "platform/notifications/Notifications.h"
#include "platform/paths/Paths.h"
#include "platform/tray/TrayHosts.h"
#include "recording/RecordingSession.h"
#include "vault/FileScanner.h"

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace harkwell {

namespace {

void open(const QUrl& url) { Opening::openWithoutWaiting(url); }

void openInboxNote(const QString& id)
{
    const QString vault = Paths::expandTilde(Settings::shared().settings().vaultPath);
    open(QUrl::fromLocalFile(vault + QStringLiteral("/_inbox/") + id + QStringLiteral(".md")));
}

void openPrivacySettings(const QString& link)
{
    if (link == QLatin1String(RecordingPermissions::kSystemAudioSettingsLink))
        RecordingPermissions::openSystemAudioSettings();
    else if (link == QLatin1String(RecordingPermissions::kMicrophoneSettingsLink))
        RecordingPermissions::openMicrophoneSettings();
}

}  // namespace

HarkwellApp::HarkwellApp(AppServices& services, Notifications& notifications, const SchemeHandlers& schemeHandlers,
                         QObject* parent)
    : QObject(parent),
      m_services(services),
      m_notifications(notifications),
      m_schemeHandlers(schemeHandlers),
      m_delegate(services)
{
    m_services.startUpdater();
    // Whatever the predecessor left (settings, state, recordings, logs, defaults, the token) is in
    // place before the first reader of any of it.
    m_services.runMigration();

    m_menu = std::make_unique<QMenu>();
    m_renderer = new MenuRenderer(m_menu.get(), this);
    connect(m_menu.get(), &QMenu::aboutToShow, this, &HarkwellApp::appear);
    // New counts while the menu is open show at once.
    connect(&CaptureStatus::shared(), &CaptureStatus::changed, this, &HarkwellApp::updateMenuIfOpen);
}

HarkwellApp::~HarkwellApp() = default;

void HarkwellApp::start()
{
    m_scanner = m_services.makeScanner();
    connect(m_scanner.get(), &FileScanner::changed, this, [this] {
        refreshLabel();
        updateMenuIfOpen();
    });
    followRecorder();
    m_delegate.applicationDidFinishLaunching();
    // The desktop raises no appear event until the menu first opens; clicks on notifications, the
    // search key and a first launch's welcome window must not wait for that.
    appear();
    m_trayHosts = new TrayHosts(qgetenv("DISPLAY"), this);
    connect(m_trayHosts, &TrayHosts::answered, this, &HarkwellApp::trayAnswered);
    connect(m_trayHosts, &TrayHosts::appeared, this, [this] {
        HarkwellLog::log(QStringLiteral("[harkwell] launch: a system tray appeared; the icon goes there"));
        makeTray();
    });
}

void HarkwellApp::trayAnswered(bool present)
{
    if (present) {
        makeTray();
        return;
    }
    HarkwellLog::log(QStringLiteral("[harkwell] launch: no system tray on this display; the menu opens in a window"));
    // Start-up has run the appear work already.
    presentMenuWindow();
    sayHowToReachOnce();
}

void HarkwellApp::makeTray()
{
    if (m_tray)
        return;
    m_tray = std::make_unique<QSystemTrayIcon>();
    m_tray->setContextMenu(m_menu.get());
    // A left click opens the same menu, as the menu bar's status item does. A panel that draws the
    // menu from its D-Bus export opens it by the icon itself; a popup of ours would float wherever
    // the pointer is thought to be, which on Wayland is nowhere near the panel.
    connect(m_tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !m_menu->platformMenu())
            m_menu->popup(QCursor::pos());
    });
    refreshLabel();
    // The menu the panel reads as soon as the icon goes up.
    rebuildMenu();
    m_tray->show();
}

void HarkwellApp::showMenuWindow()
{
    // As the menu opening would.
    appear();
    presentMenuWindow();
}

void HarkwellApp::presentMenuWindow()
{
    if (!m_menuWindow)
        m_menuWindow = std::make_unique<MenuWindow>();
    m_menuWindow->render(menuRows());
    m_menuWindow->show();
    m_menuWindow->raise();
    m_menuWindow->activateWindow();
}

void HarkwellApp::sayHowToReachOnce()
{
    static constexpr char kKey[] = "noTrayNoticeShown";
    Defaults defaults = Defaults::standard();
    if (defaults.boolValue(QString::fromLatin1(kKey)))
        return;
    defaults.setBool(QString::fromLatin1(kKey), true);
    NotificationRequest request;
    request.identifier = QStringLiteral("harkwell.no-tray");
    request.title = QStringLiteral("harkwell is running");
    request.body = QString::fromUtf8(kNoTrayNotice);
    request.sound = false;
    m_notifications.add(request);
}

void HarkwellApp::followRecorder()
{
    RecordingSession& session = m_services.recordingSession();
    connect(&session, &RecordingSession::changed, this, [this] {
        refreshLabel();
        updateMenuIfOpen();
    });
    connect(&session.elapsedClock(), &RecordingClock::elapsedChanged, this, [this] {
        refreshLabel();
        updateMenuIfOpen();  // the clock beside the recording row
    });
}

void HarkwellApp::appear()
{
    rebuildMenu();
    setupNotificationHandling();
    setupHotkey();
    maybeShowWelcome();
}

void HarkwellApp::setupNotificationHandling()
{
    NotificationDelegate::Routes routes;
    routes.showCaptureSettings = [this] { m_services.showSettings(); };
    routes.showRecorder = [this] { m_services.bringRecorderForward(); };
    routes.open = [](const QUrl& url) { open(url); };
    m_notificationDelegate = std::make_unique<NotificationDelegate>(m_notifications, m_schemeHandlers, std::move(routes));
}

void HarkwellApp::setupHotkey()
{
    if (m_scanner)
        m_services.registerSearchKey(*m_scanner);
}

void HarkwellApp::maybeShowWelcome()
{
    if (m_services.settingsFileExists())
        return;
    // After the menu has opened, not in the middle of building it.
    QTimer::singleShot(0, this, &HarkwellApp::showWelcome);
}

void HarkwellApp::showWelcome()
{
    m_services.showWelcome([this] {
        m_services.reloadSettings();
        refreshScanner();
    });
}

void HarkwellApp::refreshScanner()
{
    if (m_scanner)
        m_scanner->refresh();
}

MenuBarLabel::Content HarkwellApp::labelContent() const
{
    RecordingSession& session = m_services.recordingSession();
    return MenuBarLabel::content(session.isActive(), session.elapsedClock().elapsed(),
                                 m_scanner ? m_scanner->todayCount() : 0);
}

void HarkwellApp::refreshLabel()
{
    if (!m_tray)
        return;
    const MenuBarLabel::Content content = labelContent();
    // Drawn for the panel, never in the window palette's colours.
    m_tray->setIcon(MenuBarLabel::icon(content));
    m_tray->setToolTip(MenuBarLabel::toolTip(content));
}

VaultMenu::Inputs HarkwellApp::vaultInputs() const
{
    VaultMenu::Inputs inputs;
    if (m_scanner)
        inputs.lists = {m_scanner->todayFiles(), m_scanner->recentFiles(), m_scanner->outboxFiles(),
                        m_scanner->inboxFiles(), m_scanner->handoffFiles()};
    inputs.settings = Settings::shared().settings();
    inputs.now = QDateTime::currentDateTime();
    return inputs;
}

RecordingMenuSection::Inputs HarkwellApp::recordingInputs() const
{
    const RecordingSession& session = m_services.recordingSession();
    RecordingMenuSection::Inputs inputs;
    inputs.state = session.state();
    inputs.source = session.options().source;
    inputs.warnings = session.warnings();
    inputs.visibleConsentReminder = session.visibleConsentReminder();
    inputs.lastResult = session.lastResult();
    inputs.pendingRecovery = session.pendingRecovery();
    inputs.recoveriesInFlight = session.recoveriesInFlight();
    inputs.elapsed = m_services.recordingSession().elapsedClock().elapsed();
    return inputs;
}

CapturesSection::Inputs HarkwellApp::captureInputs() const
{
    const CaptureStatus& status = CaptureStatus::shared();
    const AppSettings settings = Settings::shared().settings();
    CapturesSection::Inputs inputs;
    inputs.snapshot = status.snapshot();
    inputs.access = status.access();
    inputs.lastPoll = status.lastPoll();
    inputs.lastNewCapture = status.lastNewCapture();
    inputs.watching = m_services.hasEnabledWatchedFolders();
    inputs.uploadEnabled = settings.captureMirelonEnabled.value_or(false);
    inputs.isPaired = [this] { return m_services.isPaired(); };
    inputs.keepVoiceMemosRunning = settings.keepVoiceMemosRunning.value_or(false);
    inputs.voiceMemosRunning = [] { return ApplicationLauncher::system().isRunning(QLatin1String(VoiceMemosKeeper::kBundleIdentifier)); };
    inputs.now = QDateTime::currentDateTime();
    return inputs;
}

ContentView::Actions HarkwellApp::menuActions()
{
    RecordingSession& session = m_services.recordingSession();
    ContentView::Actions actions;
    actions.recording.bringRecorderForward = [this] { m_services.bringRecorderForward(); };
    actions.recording.discard = [&session] { session.discard(); };
    actions.recording.recoverSend = [&session](const QString& id) {
        // Runs on by itself; the session publishes how it went.
        QCoro::Task<> sending = session.recoverSend(id);
    };
    actions.recording.recoverDiscard = [&session](const QString& id) { session.recoverDiscard(id); };
    actions.recording.confirmDiscard = [this](const QString& message, const QString& detail, std::function<void()> onConfirm) {
        m_services.confirmDiscard(message, detail, std::move(onConfirm));
    };
    actions.recording.openPrivacySettings = openPrivacySettings;
    actions.recording.showSettings = [this] { m_services.showSettings(); };
    actions.recording.promptAndRelaunch = [](const QString& reason) { AppRelaunch::promptAndRelaunch(reason); };

    actions.vault.files.open = open;
    actions.vault.files.mail = [](const QStringList& paths, const std::optional<QString>& subject) {
        MailComposer::system().compose(paths, subject);
    };
    actions.vault.files.manifestFields = [](const QString& folder) { return OutboxManager::manifestFields(folder); };
    actions.vault.toggleSearch = [this] { m_services.toggleSearch(); };

    actions.refresh = [this] { refreshScanner(); };
    actions.showSettings = [this] { m_services.showSettings(); };
    actions.showWelcome = [this] { showWelcome(); };
    actions.quit = [] { QCoreApplication::quit(); };

    actions.captures.showSettings = actions.showSettings;
    actions.captures.openFullDiskAccessSettings = [] { CaptureAccess::openFullDiskAccessSettings(); };
    actions.captures.promptAndRelaunch = [](const QString& reason) { AppRelaunch::promptAndRelaunch(reason); };
    actions.captures.openLog = [] { open(QUrl::fromLocalFile(HarkwellLog::fileUrl())); };
    actions.captures.openInboxNote = [](const QString& id) { openInboxNote(id); };
    return actions;
}

void HarkwellApp::perform(AppAction action)
{
    HarkwellLog::log(QStringLiteral("[harkwell] launch: asked for \"%1\"").arg(AppActions::name(action)));
    AppActions::dispatch(action, {
                                     .toggleSearch = [this] { m_services.toggleSearch(); },
                                     .quickRecord = [this] { m_services.quickRecord(); },
                                     .showSettings = [this] { m_services.showSettings(); },
                                     .showMenu = [this] { showMenu(); },
                                     .quit = [] { QCoreApplication::quit(); },
                                 });
}

void HarkwellApp::showMenu()
{
    // Without a tray, and on Wayland, where a popup of ours cannot be placed by the panel, the
    // rows open in their own window.
    if (m_tray && QGuiApplication::platformName() != QLatin1String("wayland"))
        m_menu->popup(QCursor::pos());
    else
        showMenuWindow();
}

MenuRows HarkwellApp::menuRows()
{
    ContentView::Inputs inputs;
    inputs.recordingAvailable = m_services.recordingSupported();
    inputs.recording = recordingInputs();
    inputs.vault = vaultInputs();
    inputs.captures = captureInputs();
    return ContentView::build(inputs, menuActions());
}

void HarkwellApp::rebuildMenu() { m_renderer->render(menuRows()); }

void HarkwellApp::updateMenuIfOpen()
{
    // In place: an open submenu stays open, and a new shape waits until the menu closes.
    if (m_menu->isVisible())
        rebuildMenu();
    if (m_menuWindow && m_menuWindow->isVisible())
        m_menuWindow->render(menuRows());
}

}  // namespace harkwell
