#pragma once
// A folder that hangs when opened, as a dead network mount does: a FUSE file system (the system
// python3 with python3-fuse) whose root takes a minute to open. Unmounted and ended with the object.

#include <QProcess>
#include <QString>

namespace harkwell::test {

class SlowMount {
public:
    explicit SlowMount(QString mountPoint, int hangSeconds = 60);
    ~SlowMount();
    SlowMount(const SlowMount&) = delete;
    SlowMount& operator=(const SlowMount&) = delete;

    // Mounts and waits until the mount is in place; false, with error(), when the rig is missing.
    bool start();
    QString error() const { return m_error; }

private:
    bool isMounted() const;

    QString m_mountPoint;
    int m_hangSeconds;
    QProcess m_server;
    QString m_error;
};

}  // namespace harkwell::test
