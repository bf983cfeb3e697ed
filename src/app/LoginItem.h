#pragma once
// Opens Harkwell at login: on by default until the user has made a choice, and switched by the
// settings window from then on.

#include "platform/autostart/Autostart.h"
#include "platform/defaults/Defaults.h"

#include <QString>

#include <optional>

namespace harkwell {

class LoginItem {
public:
    LoginItem(Autostart& autostart, Defaults defaults, bool hasBundleIdentifier);

    static constexpr char kChosenKey[] = "harkwell.loginItem.chosen";
    static constexpr char kOlderDecidedKey[] = "harkwell.loginItem.decided";

    // Returns no value on success, else the failure's text for the settings window to show.
    std::optional<QString> set(bool openAtLogin);
    // Once per launch: applies the default while no choice is on record.
    void enableByDefaultOnce();

    static QString describe(AutostartStatus status);

private:
    Autostart& m_autostart;
    Defaults m_defaults;
    bool m_hasBundleIdentifier;
};

}  // namespace harkwell
