#pragma once
// A dbus-daemon of the test's own, so a test never reaches the user's session bus. It activates
// no services, so "nothing answers" cannot start one installed on the machine.

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace harkwell::test {

class PrivateSessionBus {
public:
    PrivateSessionBus();
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    // Empty when the daemon did not start.
    const QString& address() const { return m_address; }
    // A named connection to this bus, disconnected when the bus goes.
    QDBusConnection connect(const QString& name);

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QStringList m_names;
};

}  // namespace harkwell::test
