#include "app/HarkwellApp.h"

#include "app/AppRelaunch.h"
#include "app/AppServices.h"
#include "app/MenuRenderer.h"
#include "app/NotificationDelegate.h"
#include "capture/CaptureAccess.h"
#include "capture/VoiceMemosKeeper.h"
#include "foundation/HarkwellLog.h"
#include "foundation/Opening.h"
#include "foundation/Settings.h"
#include "pipeline/CaptureStatus.h"
#include "platform/apps/ApplicationLauncher.h"
#include "platform/notifications/Notifications.h"
#include "platform/paths/Paths.h"

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWindow>

namespace harkwell {

namespace {

// The windows and the recorder behind these rows come with their own parts of the application.
std::function<void()> notAvailableYet(const QString& what)
{
    return [what] { HarkwellLog::log(QStringLiteral("[harkwell] menu: %1 is not available in this build").arg(what)); };
}

void openInboxNote(const QString& id)
{
    const QString vault = Paths::expandTilde(Settings::shared().settings().vaultPath);
    Opening::openWithoutWaiting(QUrl::fromLocalFile(vault + QStringLiteral("/_inbox/") + id + QStringLiteral(".md")));
}

}  // namespace

HarkwellApp::HarkwellApp(AppServices& services, Notifications& notifications, const SchemeHandlers& schemeHandlers,
                         QObject* parent)
    : QObject(parent),
      m_services(services),
      m_notifications(notifications),
      m_schemeHandlers(schemeHandlers),
      m_delegate(services),
      m_menu(std::make_unique<QMenu>()),
      m_tray(std::make_unique<QSystemTrayIcon>())
{
    m_tray->setContextMenu(m_menu.get());
    connect(m_menu.get(), &QMenu::aboutToShow, this, &HarkwellApp::appear);
    // A left click opens the same menu, as the menu bar's status item does.
    connect(m_tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_menu->popup(QCursor::pos());
    });
    // New counts while the menu is open show at once.
    connect(&CaptureStatus::shared(), &CaptureStatus::changed, this, [this] {
        if (m_menu->isVisible())
            rebuildMenu();
    });
}

HarkwellApp::~HarkwellApp() = default;

void HarkwellApp::start()
{
    refreshLabel();
    rebuildMenu();
    m_tray->show();
    m_delegate.applicationDidFinishLaunching();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        HarkwellLog::log(QStringLiteral("[harkwell] launch: no system tray on this display; capture runs without the menu"));
    // The desktop raises no appear event until the menu first opens; clicks on notifications must
    // be handled before that.
    appear();
}

void HarkwellApp::appear()
{
    rebuildMenu();
    setupNotificationHandling();
}

void HarkwellApp::setupNotificationHandling()
{
    NotificationDelegate::Routes routes;
    routes.showCaptureSettings = notAvailableYet(QStringLiteral("Settings..."));
    routes.showRecorder = notAvailableYet(QStringLiteral("the recorder"));
    routes.open = [](const QUrl& url) { Opening::openWithoutWaiting(url); };
    m_notificationDelegate = std::make_unique<NotificationDelegate>(m_notifications, m_schemeHandlers, std::move(routes));
}

MenuBarLabel::Content HarkwellApp::labelContent() const
{
    // The recorder and the vault scanner feed the label once they run in this build.
    return MenuBarLabel::content(false, 0, 0);
}

void HarkwellApp::refreshLabel()
{
    const MenuBarLabel::Content content = labelContent();
    const QColor textColour = QApplication::palette().color(QPalette::WindowText);
    const qreal ratio = qApp->devicePixelRatio();
    m_tray->setIcon(QIcon(MenuBarLabel::render(content, textColour, ratio)));
    m_tray->setToolTip(MenuBarLabel::toolTip(content));
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

ContentView::Actions HarkwellApp::menuActions() const
{
    ContentView::Actions actions;
    actions.bringRecorderForward = notAvailableYet(QStringLiteral("Record\u2026"));
    actions.toggleSearch = notAvailableYet(QStringLiteral("Search Vault..."));
    actions.refresh = notAvailableYet(QStringLiteral("Refresh"));
    actions.showSettings = notAvailableYet(QStringLiteral("Settings..."));
    actions.showWelcome = notAvailableYet(QStringLiteral("Welcome & guide..."));
    actions.quit = [] { QCoreApplication::quit(); };
    actions.captures.showSettings = actions.showSettings;
    actions.captures.openFullDiskAccessSettings = [] { CaptureAccess::openFullDiskAccessSettings(); };
    actions.captures.promptAndRelaunch = [](const QString& reason) { AppRelaunch::promptAndRelaunch(reason); };
    actions.captures.openLog = [] { Opening::openWithoutWaiting(QUrl::fromLocalFile(HarkwellLog::fileUrl())); };
    actions.captures.openInboxNote = [](const QString& id) { openInboxNote(id); };
    return actions;
}

MenuRows HarkwellApp::menuRows() const
{
    ContentView::Inputs inputs;
    inputs.todayCount = 0;
    inputs.captures = captureInputs();
    return ContentView::build(inputs, menuActions());
}

void HarkwellApp::rebuildMenu() { MenuRenderer::render(menuRows(), m_menu.get()); }

}  // namespace harkwell
