#pragma once
// Checks of the environment Harkwell runs in, and the one-time notices that tell the user about
// what stands in the way (a folder that cannot be read, a missing grant).

#include <QString>
#include <QStringList>

#include <optional>

namespace harkwell {

class EnvironmentCheck {
public:
    // Posts the notice "env.<id>" unless the flag "harkwell.envNotified.<id>" in the standard user
    // defaults is already set; the flag is set first, so a notice is posted once until someone
    // removes the flag again.
    static void notifyOnce(const QString& id, const QString& title, const QString& body);

    static QString notifiedKey(const QString& id);
    static constexpr char kNotifiedKeyPrefix[] = "harkwell.envNotified.";

    // Absolute path of a command-line tool: first the extra tool folders, then the process's PATH
    // (with those folders appended) as a non-login shell sees it.
    static std::optional<QString> resolve(const QString& name);
    static std::optional<QString> resolve(const QString& name, const QStringList& extraSearchPaths, const QString& pathVariable);
    // The search path handed to the shell: PATH's parts, then the extra tool folders.
    static QString expandedPath(const QString& pathVariable, const QStringList& extraSearchPaths);
    static QStringList extraSearchPaths();

    // Looked up once per process, on first use; safe to read from any thread.
    static std::optional<QString> python3Path();
    static std::optional<QString> timeoutPath();

    // The PDF export's Python environment: no value when it works, else the problem for the user.
    static std::optional<QString> checkFolioizeEnvironment();
    static std::optional<QString> checkFolioizeEnvironment(const std::optional<QString>& python3);
    // The text for a failed module import, from the interpreter's standard error.
    static QString folioizeFailureText(const QString& standardError);

    // Once per launch, off the main thread: logs the tools found and notifies a broken PDF setup once.
    static void runAtLaunch();
};

}  // namespace harkwell
