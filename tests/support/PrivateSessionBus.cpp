#include "support/PrivateSessionBus.h"

#include <QFile>

namespace harkwell::test {

PrivateSessionBus::PrivateSessionBus()
{
    const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                              "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                              "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>")
                   .arg(m_dir.path())
                   .toUtf8());
    file.close();
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted(10000))
        return;
    while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(10000)) {
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
}

PrivateSessionBus::~PrivateSessionBus()
{
    for (const QString& name : std::as_const(m_names))
        QDBusConnection::disconnectFromBus(name);
    m_daemon.terminate();
    m_daemon.waitForFinished(5000);
}

QDBusConnection PrivateSessionBus::connect(const QString& name)
{
    m_names.append(name);
    return QDBusConnection::connectToBus(m_address, name);
}

}  // namespace harkwell::test
