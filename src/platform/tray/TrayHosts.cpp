#include "platform/tray/TrayHosts.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QTimer>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace harkwell {

namespace {

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};

}  // namespace

TrayHosts::TrayHosts(const QByteArray& display, QObject* parent)
    // Only Qt's X11 platform embeds icons; under Wayland an Xwayland tray is of no use.
    : QObject(parent), m_xembed(QGuiApplication::platformName() == QLatin1String("xcb") && xembedTray(display))
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = QString::fromLatin1(kWatcherService);
    if (!bus.isConnected()) {
        QTimer::singleShot(0, this, [this] { answer(false); });
        return;
    }
    m_watcher = new QDBusServiceWatcher(service, bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        if (!m_present) {
            answer(true);
        } else if (!*m_present) {
            m_present = true;
            emit appeared();
        }
    });
    auto* call = new QDBusPendingCallWatcher(bus.interface()->asyncCall(QStringLiteral("NameHasOwner"), service), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, call] {
        call->deleteLater();
        const QDBusPendingReply<bool> reply = *call;
        if (!m_present)
            answer(!reply.isError() && reply.value());
    });
}

void TrayHosts::answer(bool watcher)
{
    m_present = watcher || m_xembed;
    emit answered(*m_present);
}

bool TrayHosts::xembedTray(const QByteArray& display)
{
    if (display.isEmpty())
        return false;
    int screen = 0;
    xcb_connection_t* connection = xcb_connect(display.constData(), &screen);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    // A tray manager owns the selection _NET_SYSTEM_TRAY_S<screen>.
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
    std::unique_ptr<xcb_intern_atom_reply_t, FreeDeleter> atom(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, std::uint16_t(name.size()), name.constData()), nullptr));
    bool owned = false;
    if (atom) {
        std::unique_ptr<xcb_get_selection_owner_reply_t, FreeDeleter> owner(
            xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr));
        owned = owner && owner->owner != XCB_WINDOW_NONE;
    }
    xcb_disconnect(connection);
    return owned;
}

}  // namespace harkwell
