#pragma once
// Opens a file or link through the desktop without making the caller wait: the request starts on
// the main thread after its current work, and a failure only leaves a log line. Whether a file
// exists is looked at off the main thread, under a time limit, so a frozen mount holds up nothing.

#include <QUrl>

#include <chrono>

namespace harkwell {

class SchemeHandlers;
class Workspace;

class Opening {
public:
    // Callable from any thread; returns before the open is attempted.
    static void openWithoutWaiting(const QUrl& url);

    // How long a file's disk may take to say whether the file exists.
    static constexpr std::chrono::milliseconds kLookLimit{std::chrono::seconds(5)};

    // The desktop by default; tests put a fake in its place (nullptr restores the desktop).
    static void setWorkspace(Workspace* workspace);
    // Links are opened only when the desktop has an application for their scheme: the MIME
    // database's by default; tests may put another lookup in place (nullptr restores it).
    static void setSchemeHandlers(const SchemeHandlers* handlers);
};

}  // namespace harkwell
