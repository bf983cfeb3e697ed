#pragma once
// Hands files and links to the desktop (the default application, the browser) without waiting.

#include <QUrl>

namespace harkwell {

class Workspace {
public:
    virtual ~Workspace() = default;
    // Returns false when the desktop refused the request.
    virtual bool openWithoutWaiting(const QUrl& url) = 0;
};

// QDesktopServices: needs a QGuiApplication.
class DesktopWorkspace final : public Workspace {
public:
    bool openWithoutWaiting(const QUrl& url) override;
};

}  // namespace harkwell
