#pragma once
// What another launch (a command-line flag, a desktop-entry action, a desktop shortcut) asks the
// running Harkwell to do, and the one place each request turns into the application's own action.

#include <QString>

#include <functional>
#include <optional>

namespace harkwell {

enum class AppAction { Activate, Search, Record, Settings, Menu, Quit };

struct AppActionHandlers {
    std::function<void()> toggleSearch;
    std::function<void()> quickRecord;
    std::function<void()> showSettings;
    std::function<void()> showMenu;
    std::function<void()> quit;
};

namespace AppActions {

// The name on the command line (without "--") and over D-Bus: "search", "record", …
QString name(AppAction action);
std::optional<AppAction> fromName(const QString& name);

void dispatch(AppAction action, const AppActionHandlers& handlers);

}  // namespace AppActions

}  // namespace harkwell
