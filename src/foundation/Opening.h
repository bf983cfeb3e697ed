#pragma once
// Opens a file or link through the desktop without making the caller wait: the request starts on
// the main thread after its current work, and a failure only leaves a log line.

#include <QUrl>

namespace harkwell {

class SchemeHandlers;
class Workspace;

class Opening {
public:
    // Callable from any thread; returns before the open is attempted.
    static void openWithoutWaiting(const QUrl& url);

    // The desktop by default; tests put a fake in its place (nullptr restores the desktop).
    static void setWorkspace(Workspace* workspace);
    // Links are opened only when the desktop has an application for their scheme: the MIME
    // database's by default; tests may put another lookup in place (nullptr restores it).
    static void setSchemeHandlers(const SchemeHandlers* handlers);
};

}  // namespace harkwell
