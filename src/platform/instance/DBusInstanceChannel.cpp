#include "platform/instance/DBusInstanceChannel.h"

#include "platform/identity/Identity.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

namespace harkwell {

namespace {
const QString kInterface = QStringLiteral("org.freedesktop.Application");
const QString kActivate = QStringLiteral("activate");

// The object on the bus; its slots are the interface's methods, which is why they are named as
// the interface names them.
class ApplicationInterface : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit ApplicationInterface(InstanceChannel* channel) : QObject(channel), m_channel(channel) {}

public slots:
    void Activate(const QVariantMap& platformData)
    {
        Q_UNUSED(platformData);
        emit m_channel->actionRequested(kActivate);
    }
    void Open(const QStringList& uris, const QVariantMap& platformData)
    {
        Q_UNUSED(uris);
        Q_UNUSED(platformData);
        emit m_channel->actionRequested(kActivate);
    }
    void ActivateAction(const QString& name, const QVariantList& parameter, const QVariantMap& platformData)
    {
        Q_UNUSED(parameter);
        Q_UNUSED(platformData);
        emit m_channel->actionRequested(name);
    }

private:
    InstanceChannel* m_channel;
};

}  // namespace

DBusInstanceChannel::DBusInstanceChannel(const QDBusConnection& bus, QObject* parent) : InstanceChannel(parent), m_bus(bus) {}

DBusInstanceChannel::~DBusInstanceChannel()
{
    if (m_exported) {
        m_bus.unregisterObject(objectPath());
        m_bus.unregisterService(serviceName());
    }
}

QString DBusInstanceChannel::serviceName() { return QLatin1String(identity::kBundleIdentifier); }

QString DBusInstanceChannel::objectPath()
{
    // The convention: the name's dots as slashes.
    return QLatin1Char('/') + serviceName().replace(QLatin1Char('.'), QLatin1Char('/'));
}

std::expected<void, InstanceChannelError> DBusInstanceChannel::listen()
{
    if (!m_bus.isConnected())
        return std::unexpected(InstanceChannelError{QStringLiteral("no session bus: %1").arg(m_bus.lastError().message())});
    auto* exported = new ApplicationInterface(this);
    if (!m_bus.registerObject(objectPath(), exported, QDBusConnection::ExportAllSlots)) {
        delete exported;
        return std::unexpected(InstanceChannelError{QStringLiteral("could not export %1 on the session bus").arg(objectPath())});
    }
    if (!m_bus.registerService(serviceName())) {
        m_bus.unregisterObject(objectPath());
        delete exported;
        return std::unexpected(InstanceChannelError{
            QStringLiteral("could not own %1 on the session bus: %2").arg(serviceName(), m_bus.lastError().message())});
    }
    m_exported = exported;
    return {};
}

std::expected<void, InstanceChannelError> DBusInstanceChannel::send(const QString& action, std::chrono::milliseconds wait)
{
    if (!m_bus.isConnected())
        return std::unexpected(InstanceChannelError{QStringLiteral("no session bus: %1").arg(m_bus.lastError().message())});

    // Runs in a launch that only hands over its request: the loops below serve nothing else.
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(wait);

    QDBusServiceWatcher watcher(serviceName(), m_bus, QDBusServiceWatcher::WatchForRegistration);
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, &QEventLoop::quit);
    if (!m_bus.interface()->isServiceRegistered(serviceName()).value()) {
        loop.exec();
        if (!m_bus.interface()->isServiceRegistered(serviceName()).value())
            return std::unexpected(InstanceChannelError{QStringLiteral("the running Harkwell did not answer on the session bus")});
    }

    QDBusMessage call = action == kActivate
                            ? QDBusMessage::createMethodCall(serviceName(), objectPath(), kInterface, QStringLiteral("Activate"))
                            : QDBusMessage::createMethodCall(serviceName(), objectPath(), kInterface, QStringLiteral("ActivateAction"));
    if (action == kActivate)
        call << QVariantMap();
    else
        call << action << QVariantList() << QVariantMap();
    QDBusPendingCallWatcher pending(m_bus.asyncCall(call, int(wait.count())));
    QObject::connect(&pending, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
    if (!pending.isFinished())
        loop.exec();
    if (!pending.isFinished() || pending.isError())
        return std::unexpected(InstanceChannelError{
            QStringLiteral("the running Harkwell did not take the request: %1").arg(pending.error().message())});
    return {};
}

}  // namespace harkwell

#include "DBusInstanceChannel.moc"
