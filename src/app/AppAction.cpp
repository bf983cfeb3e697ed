#include "app/AppAction.h"

#include <array>
#include <utility>

namespace harkwell {

namespace {

constexpr std::array<std::pair<AppAction, const char*>, 6> kNames{{
    {AppAction::Activate, "activate"},
    {AppAction::Search, "search"},
    {AppAction::Record, "record"},
    {AppAction::Settings, "settings"},
    {AppAction::Menu, "menu"},
    {AppAction::Quit, "quit"},
}};

void call(const std::function<void()>& handler)
{
    if (handler)
        handler();
}

}  // namespace

QString AppActions::name(AppAction action)
{
    for (const auto& [known, text] : kNames)
        if (known == action)
            return QLatin1String(text);
    return {};
}

std::optional<AppAction> AppActions::fromName(const QString& name)
{
    for (const auto& [action, text] : kNames)
        if (name == QLatin1String(text))
            return action;
    return std::nullopt;
}

void AppActions::dispatch(AppAction action, const AppActionHandlers& handlers)
{
    switch (action) {
    case AppAction::Search:
        return call(handlers.toggleSearch);
    case AppAction::Record:
        return call(handlers.quickRecord);
    case AppAction::Settings:
        return call(handlers.showSettings);
    // Launching Harkwell again, from the desktop's launcher or a terminal, shows what a click on
    // the tray icon shows.
    case AppAction::Activate:
    case AppAction::Menu:
        return call(handlers.showMenu);
    case AppAction::Quit:
        return call(handlers.quit);
    }
}

}  // namespace harkwell
