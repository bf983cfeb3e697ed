#pragma once
// Keeps one Harkwell per user: the first process holds a lock file in the runtime folder (the
// data folder without one) for its lifetime; a lock left by a process that is gone is taken over.

#include <QLockFile>
#include <QString>

#include <expected>
#include <memory>

namespace harkwell {

struct InstanceLockError {
    QString text;  // user-facing
};

class InstanceLock {
public:
    explicit InstanceLock(QString path);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    std::expected<void, InstanceLockError> acquire();

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};

}  // namespace harkwell
