#include "platform/instance/InstanceLock.h"

#include <QDir>
#include <QFileInfo>

namespace harkwell {

InstanceLock::InstanceLock(QString path) : m_path(std::move(path)) {}

InstanceLock::~InstanceLock() = default;

std::expected<void, InstanceLockError> InstanceLock::acquire()
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    m_lock = std::make_unique<QLockFile>(m_path);
    // An instance runs for days: only a dead owner makes the lock stale, never its age.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        return {};

    const QLockFile::LockError error = m_lock->error();
    if (error == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host;
        QString application;
        m_lock->getLockInfo(&pid, &host, &application);
        m_lock.reset();
        return std::unexpected(InstanceLockError{
            QStringLiteral("another instance is already running (pid %1)").arg(pid)});
    }
    m_lock.reset();
    return std::unexpected(InstanceLockError{QStringLiteral("could not create the lock file %1").arg(m_path)});
}

}  // namespace harkwell
