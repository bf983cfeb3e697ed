#include "platform/notifications/FreedesktopNotifications.h"

#include "platform/identity/Identity.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QPointer>
#include <QVariantMap>

namespace harkwell {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");
// Long enough for a bus-activated service to start, short enough not to stall the caller.
constexpr int kProbeTimeoutMs = 3000;
constexpr int kNotifyTimeoutMs = 10000;
}  // namespace

FreedesktopNotifications::FreedesktopNotifications(QDBusConnection bus, QObject* parent)
    : Notifications(parent), m_bus(std::move(bus))
{
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                  SLOT(onActionInvoked(uint, QString)));
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                  SLOT(onNotificationClosed(uint, uint)));
}

NotificationAuthorization FreedesktopNotifications::authorization()
{
    if (!m_bus.isConnected())
        return NotificationAuthorization::NotDetermined;
    QDBusMessage probe = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetServerInformation"));
    if (m_bus.call(probe, QDBus::Block, kProbeTimeoutMs).type() != QDBusMessage::ReplyMessage)
        return NotificationAuthorization::NotDetermined;
    if (!m_capabilities) {
        QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"));
        const QDBusMessage reply = m_bus.call(ask, QDBus::Block, kProbeTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            m_capabilities = reply.arguments().constFirst().toStringList();
    }
    return NotificationAuthorization::Authorized;
}

void FreedesktopNotifications::requestAuthorization(std::function<void(bool granted)> done)
{
    // The desktop asks nobody: a service that answers shows what it is given.
    const bool granted = authorization() == NotificationAuthorization::Authorized;
    if (done)
        done(granted);
}

void FreedesktopNotifications::add(const NotificationRequest& request, NotificationAdded done)
{
    Slot& slot = m_slots[request.identifier];
    if (slot.inFlight) {
        slot.waiting.append({request, std::move(done)});
        return;
    }
    send({request, std::move(done)});
}

QString FreedesktopNotifications::bodyText(const QString& body) const
{
    // A service that reads markup would take a title such as "Q&A <draft>" for tags.
    if (m_capabilities && m_capabilities->contains(QStringLiteral("body-markup")))
        return body.toHtmlEscaped();
    return body;
}

void FreedesktopNotifications::send(Pending pending)
{
    const QString identifier = pending.request.identifier;
    Slot& slot = m_slots[identifier];
    slot.inFlight = true;

    QVariantMap hints;
    if (pending.request.sound)
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    else
        hints.insert(QStringLiteral("suppress-sound"), true);

    QDBusMessage notify = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    notify << QString::fromLatin1(identity::kBundleIdentifier) << slot.serverId << QString()
           << pending.request.title << bodyText(pending.request.body)
           << QStringList{kDefaultAction, QStringLiteral("Open")} << hints << qint32(-1);

    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(notify, kNotifyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, identifier, pending = std::move(pending)](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<uint> reply = *call;
                if (reply.isError()) {
                    finished(identifier, std::nullopt);
                    if (pending.done)
                        pending.done(std::unexpected(NotificationError{reply.error().message()}));
                    return;
                }
                m_shown.insert(reply.value(), Shown{identifier, pending.request.payload});
                finished(identifier, reply.value());
                if (pending.done)
                    pending.done({});
            });
}

void FreedesktopNotifications::finished(const QString& identifier, std::optional<uint> serverId)
{
    Slot& slot = m_slots[identifier];
    slot.inFlight = false;
    if (serverId) {
        if (slot.serverId != 0 && slot.serverId != *serverId)
            m_shown.remove(slot.serverId);
        slot.serverId = *serverId;
    }
    if (!slot.waiting.isEmpty())
        send(slot.waiting.takeFirst());
}

void FreedesktopNotifications::onActionInvoked(uint serverId, const QString& actionKey)
{
    if (actionKey != kDefaultAction)
        return;
    const auto shown = m_shown.constFind(serverId);
    if (shown == m_shown.constEnd())
        return;  // another process's notification, or one from before a restart of ours
    emit clicked(shown->identifier, shown->payload);
}

void FreedesktopNotifications::onNotificationClosed(uint serverId, uint /*reason*/)
{
    m_shown.remove(serverId);
}

}  // namespace harkwell
