#include "platform/notifications/FreedesktopNotifications.h"

#include "platform/identity/Identity.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QPointer>
#include <QVariantMap>

#include <utility>

namespace harkwell {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");
// Long enough for a bus-activated service to start; nobody waits for it.
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
    probe();
}

NotificationAuthorization FreedesktopNotifications::authorization()
{
    // What the last answer said; a fresh probe keeps it current for the next caller.
    probe();
    return m_answered ? NotificationAuthorization::Authorized : NotificationAuthorization::NotDetermined;
}

void FreedesktopNotifications::requestAuthorization(std::function<void(bool granted)> done)
{
    // The desktop asks nobody: a service that answers shows what it is given.
    if (m_answered && m_capabilities) {
        if (done)
            done(true);
        return;
    }
    if (done)
        m_waitingForProbe.append(std::move(done));
    probe();
}

void FreedesktopNotifications::probe()
{
    if (m_probing)
        return;
    if (!m_bus.isConnected()) {
        probed(false);
        return;
    }
    m_probing = true;
    QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetServerInformation"));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(ask, kProbeTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const bool answered = !call->isError();
        if (!answered || m_capabilities) {
            probed(answered);
            return;
        }
        QDBusMessage capabilities =
            QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"));
        auto* next = new QDBusPendingCallWatcher(m_bus.asyncCall(capabilities, kProbeTimeoutMs), this);
        connect(next, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* reply) {
            reply->deleteLater();
            const QDBusPendingReply<QStringList> list = *reply;
            m_capabilities = list.isError() ? QStringList() : list.value();
            probed(true);
        });
    });
}

void FreedesktopNotifications::probed(bool answered)
{
    m_probing = false;
    m_probedOnce = true;
    m_answered = answered;
    for (auto& done : std::exchange(m_waitingForProbe, {}))
        done(answered);
    // Posts held for the capabilities go now; with no service they fail as any post would.
    for (Pending& pending : std::exchange(m_waitingForCapabilities, {}))
        add(pending.request, std::move(pending.done));
}

void FreedesktopNotifications::add(const NotificationRequest& request, NotificationAdded done)
{
    // Markup is escaped or not by what the service reads, so the first post waits for its answer.
    if (!m_capabilities && m_bus.isConnected() && (m_probing || !m_probedOnce)) {
        m_waitingForCapabilities.append({request, std::move(done)});
        probe();
        return;
    }
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
    // The desktop entry gives the sender its name and icon where the service looks it up; the name
    // and icon sent along are for those that do not.
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(identity::kBundleIdentifier));
    notify << QString::fromLatin1(identity::kApplicationName) << slot.serverId << QString::fromLatin1(identity::kBundleIdentifier)
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
