#pragma once
// The application: the move from the predecessor before anything else, the vault scanner, the tray
// icon with its label and menu, the launch sequence, and the work done each time the menu opens
// (rebuilding its rows, installing the notification-click handling, the search key and, until the
// user has settings, the welcome window).

#include "app/AppAction.h"
#include "app/AppDelegate.h"
#include "app/ContentView.h"
#include "app/MenuBarLabel.h"

#include <QObject>

#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace harkwell {

class AppServices;
class FileScanner;
class MenuRenderer;
class MenuWindow;
class NotificationDelegate;
class Notifications;
class TrayHosts;
class SchemeHandlers;

class HarkwellApp final : public QObject {
    Q_OBJECT
public:
    // Runs the migration from the predecessor: build it after the QApplication and before anything
    // reads the settings, the state, the defaults or the token.
    HarkwellApp(AppServices& services, Notifications& notifications, const SchemeHandlers& schemeHandlers,
                QObject* parent = nullptr);
    ~HarkwellApp() override;

    // Makes the scanner, shows the tray icon, runs the launch sequence, then the menu's first appear work.
    void start();

    // What another launch asked for (a command-line flag, a desktop-entry action), done here.
    void perform(AppAction action);

    MenuRows menuRows();
    MenuBarLabel::Content labelContent() const;
    // Said once, on the first start without a tray.
    static constexpr const char* kNoTrayNotice =
        "This desktop shows no tray icons, so harkwell's menu opens in a window: start harkwell again from "
        "the applications menu, or run harkwell --menu, to bring it back.";

    // The menu's rows where the user can reach them: the tray's menu, or a window of their own.
    // Launching the application again, or asking it for its menu, lands here.
    void showMenu();
    // Where no tray shows the icon, the way in: the menu's rows in a window of their own, brought
    // forward.
    void showMenuWindow();

    QMenu* menu() const { return m_menu.get(); }
    MenuWindow* menuWindow() const { return m_menuWindow.get(); }
    // None until a panel that shows tray icons is known to be there.
    QSystemTrayIcon* trayIcon() const { return m_tray.get(); }
    AppDelegate& delegate() { return m_delegate; }
    FileScanner* scanner() const { return m_scanner.get(); }

private:
    // Runs each time the menu comes on screen; keeps no flag of having run.
    void appear();
    void setupNotificationHandling();
    void setupHotkey();
    void maybeShowWelcome();
    void presentMenuWindow();
    void sayHowToReachOnce();
    void trayAnswered(bool present);
    void makeTray();
    void showWelcome();
    void refreshScanner();

    void followRecorder();
    void refreshLabel();
    void rebuildMenu();
    void updateMenuIfOpen();
    VaultMenu::Inputs vaultInputs() const;
    RecordingMenuSection::Inputs recordingInputs() const;
    CapturesSection::Inputs captureInputs() const;
    ContentView::Actions menuActions();

    AppServices& m_services;
    Notifications& m_notifications;
    const SchemeHandlers& m_schemeHandlers;
    AppDelegate m_delegate;
    std::unique_ptr<FileScanner> m_scanner;
    std::unique_ptr<QMenu> m_menu;
    MenuRenderer* m_renderer = nullptr;  // a child of this
    TrayHosts* m_trayHosts = nullptr;  // a child of this
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<MenuWindow> m_menuWindow;  // made when first shown
    std::unique_ptr<NotificationDelegate> m_notificationDelegate;
};

}  // namespace harkwell
