#pragma once
// The freedesktop file-manager interface (org.freedesktop.FileManager1.ShowItems) on a bus, and
// the XDG trash (through Qt, or by bytes for a name that is not valid UTF-8). A desktop without such a file manager still gets the folder opened.

#include "platform/filemanager/FileManager.h"

#include <QDBusConnection>

namespace harkwell {

class Workspace;

class DesktopFileManager final : public FileManager {
public:
    // `fallback` opens the folder when no file manager answers; it must outlive every reveal.
    DesktopFileManager(QDBusConnection bus, Workspace& fallback);

    // Call from a thread with an event loop: the answer is awaited there.
    void reveal(const QUrl& file) override;
    std::expected<void, FileManagerError> moveToTrash(const QUrl& file) override;

private:
    QDBusConnection m_bus;
    Workspace& m_fallback;
};

}  // namespace harkwell
