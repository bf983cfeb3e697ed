#pragma once
// A folder that hangs when opened, as a dead network mount does: a FUSE file system (the system
// python3 with python3-fuse) whose root takes a minute to open, and, when asked, every name inside
// it a minute to look up. Unmounted and ended with the object, which lets every waiter go.

#include <QProcess>
#include <QString>

namespace harkwell::test {

class SlowMount {
public:
    enum class Hang { Listing, ListingAndLookups };
    explicit SlowMount(QString mountPoint, int hangSeconds = 60, Hang hang = Hang::Listing);
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
    Hang m_hang;
    QProcess m_server;
    QString m_error;
};

}  // namespace harkwell::test
