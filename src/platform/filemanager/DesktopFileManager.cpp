#include "platform/filemanager/DesktopFileManager.h"

#include "platform/files/FileNames.h"
#include "platform/paths/Paths.h"
#include "platform/workspace/Workspace.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harkwell {

namespace {

QString reason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// The XDG home trash by bytes, for a name Qt's trash cannot take as text. Only a file on the home
// trash's own disk is taken (a rename); others are refused.
std::expected<void, QString> trashByBytes(const QByteArray& path)
{
    const QString trash = Paths::trashFolder();
    const QByteArray files = QFile::encodeName(trash + QStringLiteral("/files"));
    const QByteArray info = QFile::encodeName(trash + QStringLiteral("/info"));
    if (!QDir().mkpath(QFile::decodeName(files)) || !QDir().mkpath(QFile::decodeName(info)))
        return std::unexpected(QStringLiteral("The Trash couldn’t be made."));
    struct stat item {}, bin {};
    if (::lstat(path.constData(), &item) != 0)
        return std::unexpected(reason(errno));
    if (::stat(files.constData(), &bin) != 0)
        return std::unexpected(reason(errno));
    if (item.st_dev != bin.st_dev)
        return std::unexpected(QStringLiteral("It is not on the disk of the Trash."));

    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    for (int number = 1; number < 1000; ++number) {
        const QByteArray trashed = number == 1 ? name : name + '.' + QByteArray::number(number);
        const QByteArray infoPath = info + '/' + trashed + ".trashinfo";
        const int fd = ::open(infoPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return std::unexpected(reason(errno));
        }
        const QByteArray text = "[Trash Info]\nPath=" + path.toPercentEncoding("/") + "\nDeletionDate="
                                + QDateTime::currentDateTime().toString(Qt::ISODate).toLatin1() + '\n';
        const bool written = ::write(fd, text.constData(), size_t(text.size())) == text.size();
        ::close(fd);
        if (!written) {
            ::unlink(infoPath.constData());
            return std::unexpected(QStringLiteral("The Trash’s record couldn’t be written."));
        }
        const QByteArray target = files + '/' + trashed;
        if (::access(target.constData(), F_OK) == 0) {  // left without its record: not ours to replace
            ::unlink(infoPath.constData());
            continue;
        }
        if (::rename(path.constData(), target.constData()) == 0)
            return {};
        const int error = errno;
        ::unlink(infoPath.constData());
        return std::unexpected(reason(error));
    }
    return std::unexpected(QStringLiteral("The Trash has too many items of that name."));
}

}  // namespace

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

void DesktopFileManager::reveal(const QUrl& file)
{
    const QUrl folder = file.adjusted(QUrl::RemoveFilename | QUrl::StripTrailingSlash);
    if (!m_bus.isConnected()) {
        m_fallback.openWithoutWaiting(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{file.toString(QUrl::FullyEncoded)} << QString();
    // Asynchronous: a file manager that is slow to start must not hold up the panel.
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call));
    Workspace* fallback = &m_fallback;
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, fallback, folder] {
        if (watcher->isError())
            fallback->openWithoutWaiting(folder);
        watcher->deleteLater();
    });
}

std::expected<void, FileManagerError> DesktopFileManager::moveToTrash(const QUrl& url)
{
    const QByteArray path = FileNames::nativePath(url);
    const QString name = FileNames::display(path.mid(path.lastIndexOf('/') + 1));
    const auto refused = [&](const QString& why) {
        return std::unexpected(FileManagerError{QStringLiteral("“%1” couldn’t be moved to the Trash: %2").arg(name, why)});
    };
    if (!FileNames::isValidUtf8(path)) {
        if (const auto trashed = trashByBytes(path); !trashed)
            return refused(trashed.error());
        return {};
    }
    QFile file(QString::fromUtf8(path));
    if (file.moveToTrash())
        return {};
    return refused(file.errorString());
}

}  // namespace harkwell
