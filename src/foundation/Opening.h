#pragma once
// Opens a file or link through the desktop without making the caller wait: the request starts on
// the main thread after its current work, and a failure only leaves a log line.

#include <QUrl>

namespace harkwell {

class Workspace;

class Opening {
public:
    // Callable from any thread; returns before the open is attempted.
    static void openWithoutWaiting(const QUrl& url);

    // The desktop by default; tests put a fake in its place (nullptr restores the desktop).
    static void setWorkspace(Workspace* workspace);
};

}  // namespace harkwell
