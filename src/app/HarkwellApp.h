#pragma once
// The application: the tray icon with its label and menu, the launch sequence, and the work done
// each time the menu opens (rebuilding its rows, installing the notification-click handling).

#include "app/AppDelegate.h"
#include "app/ContentView.h"
#include "app/MenuBarLabel.h"

#include <QObject>

#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace harkwell {

class AppServices;
class NotificationDelegate;
class Notifications;
class SchemeHandlers;

class HarkwellApp final : public QObject {
    Q_OBJECT
public:
    HarkwellApp(AppServices& services, Notifications& notifications, const SchemeHandlers& schemeHandlers,
                QObject* parent = nullptr);
    ~HarkwellApp() override;

    // Shows the tray icon, runs the launch sequence, then the menu's first appear work.
    void start();

    MenuRows menuRows() const;
    MenuBarLabel::Content labelContent() const;
    QMenu* menu() const { return m_menu.get(); }
    QSystemTrayIcon* trayIcon() const { return m_tray.get(); }
    AppDelegate& delegate() { return m_delegate; }

private:
    // Runs each time the menu comes on screen; keeps no flag of having run.
    void appear();
    void setupNotificationHandling();
    void refreshLabel();
    void rebuildMenu();
    CapturesSection::Inputs captureInputs() const;
    ContentView::Actions menuActions() const;

    AppServices& m_services;
    Notifications& m_notifications;
    const SchemeHandlers& m_schemeHandlers;
    AppDelegate m_delegate;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<NotificationDelegate> m_notificationDelegate;
};

}  // namespace harkwell
