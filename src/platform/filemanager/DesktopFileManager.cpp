#include "platform/filemanager/DesktopFileManager.h"

#include "platform/workspace/Workspace.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace harkwell {

FileManager& FileManager::system()
{
    static DesktopWorkspace workspace;
    static DesktopFileManager manager(QDBusConnection::sessionBus(), workspace);
    return manager;
}

DesktopFileManager::DesktopFileManager(QDBusConnection bus, Workspace& fallback)
    : m_bus(std::move(bus)), m_fallback(fallback)
{
}

void DesktopFileManager::reveal(const QString& path)
{
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(path).absolutePath());
    if (!m_bus.isConnected()) {
        m_fallback.openWithoutWaiting(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)} << QString();
    // Asynchronous: a file manager that is slow to start must not hold up the panel.
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call));
    Workspace* fallback = &m_fallback;
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, fallback, folder] {
        if (watcher->isError())
            fallback->openWithoutWaiting(folder);
        watcher->deleteLater();
    });
}

std::expected<void, FileManagerError> DesktopFileManager::moveToTrash(const QString& path)
{
    QFile file(path);
    if (file.moveToTrash())
        return {};
    return std::unexpected(FileManagerError{QStringLiteral("“%1” couldn’t be moved to the Trash: %2")
                                                .arg(QFileInfo(path).fileName(), file.errorString())});
}

}  // namespace harkwell
