#pragma once
// Restarts Harkwell: asks first, then leaves a small helper behind that waits for this process to
// end and starts the executable again, and quits through the normal quit path.

#include <QString>
#include <QStringList>

#include <expected>

namespace harkwell {

class AppRelaunch {
public:
    // Modal: "Restart Now" relaunches, "Later" leaves everything as it is.
    static void promptAndRelaunch(const QString& reason);
    static void relaunch();

    // The helper's arguments to /bin/sh. The pid and the executable's path travel as positional
    // parameters, never inside the script text, so no path can change what the shell runs.
    static QStringList helperArguments(qint64 pid, const QString& executablePath);
    // Starts the helper detached; the error text on failure.
    static std::expected<void, QString> startHelper(qint64 pid, const QString& executablePath);
};

}  // namespace harkwell
