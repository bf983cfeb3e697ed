#pragma once
// Notifications through the desktop's notification service (org.freedesktop.Notifications on the
// session bus). Lives on the thread that made it; every call comes from that thread. No call waits
// for the bus: whether the service answers is asked in the background and kept, and posts made
// before its capabilities are known wait for them without holding the caller.

#include "platform/notifications/Notifications.h"

#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QStringList>

#include <optional>

namespace harkwell {

class FreedesktopNotifications final : public Notifications {
    Q_OBJECT
public:
    explicit FreedesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    NotificationAuthorization authorization() override;
    void requestAuthorization(std::function<void(bool granted)> done) override;
    void add(const NotificationRequest& request, NotificationAdded done = {}) override;

private slots:
    void onActionInvoked(uint serverId, const QString& actionKey);
    void onNotificationClosed(uint serverId, uint reason);

private:
    struct Pending {
        NotificationRequest request;
        NotificationAdded done;
    };
    // One identifier's notifications: the server's id of the last one shown, and the requests
    // waiting for the one in flight, since replacing needs the id its answer brings.
    struct Slot {
        uint serverId = 0;
        bool inFlight = false;
        QList<Pending> waiting;
    };
    struct Shown {
        QString identifier;
        QMap<QString, QString> payload;
    };

    void probe();
    void probed(bool answered);
    void send(Pending pending);
    void finished(const QString& identifier, std::optional<uint> serverId);
    QString bodyText(const QString& body) const;

    QDBusConnection m_bus;
    bool m_answered = false;                    // the service answered the last probe
    bool m_probing = false;                     // a probe is on its way
    bool m_probedOnce = false;                  // some probe has come back
    std::optional<QStringList> m_capabilities;  // asked once the service first answers
    QList<std::function<void(bool)>> m_waitingForProbe;
    QList<Pending> m_waitingForCapabilities;
    QHash<QString, Slot> m_slots;               // by identifier
    QHash<uint, Shown> m_shown;                 // by the server's id, until the server closes it
};

}  // namespace harkwell
