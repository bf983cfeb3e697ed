#pragma once
// The instance channel on the session bus: the running Harkwell owns the name app.harkwell.Harkwell
// and answers org.freedesktop.Application there, so desktop shells and `gapplication action` reach
// it as they reach any D-Bus-activatable application. Activate is the action "activate"; an
// ActivateAction names its action.

#include "platform/instance/InstanceChannel.h"

#include <QDBusConnection>

namespace harkwell {

class DBusInstanceChannel final : public InstanceChannel {
    Q_OBJECT
public:
    // Main thread.
    explicit DBusInstanceChannel(const QDBusConnection& bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~DBusInstanceChannel() override;

    std::expected<void, InstanceChannelError> listen() override;
    std::expected<void, InstanceChannelError> send(const QString& action, std::chrono::milliseconds wait) override;

    static QString serviceName();
    static QString objectPath();

private:
    QDBusConnection m_bus;
    QObject* m_exported = nullptr;  // a child of this, the object on the bus
};

}  // namespace harkwell
