#pragma once
// Checks of the environment Harkwell runs in, and the one-time notices that tell the user about
// what stands in the way (a folder that cannot be read, a missing grant).

#include <QString>

namespace harkwell {

class EnvironmentCheck {
public:
    // Posts the notice "env.<id>" unless the flag "harkwell.envNotified.<id>" in the standard user
    // defaults is already set; the flag is set first, so a notice is posted once until someone
    // removes the flag again.
    static void notifyOnce(const QString& id, const QString& title, const QString& body);

    static QString notifiedKey(const QString& id);
    static constexpr char kNotifiedKeyPrefix[] = "harkwell.envNotified.";
};

}  // namespace harkwell
