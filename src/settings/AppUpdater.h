#pragma once
// The application's updater. No update feed is fetched on this system: the user's choice of
// automatic checks is kept in the user defaults, and a manual check leaves a line in the log.

#include "platform/defaults/Defaults.h"

namespace harkwell {

class AppUpdater {
public:
    explicit AppUpdater(Defaults defaults);

    // The process's updater, over the application's own defaults.
    static AppUpdater& controller();

    static constexpr char kAutomaticChecksKey[] = "automaticallyChecksForUpdates";

    // On until the user turns it off.
    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool on);
    void checkForUpdates();

private:
    Defaults m_defaults;
};

}  // namespace harkwell
