#include "platform/notifications/Notifications.h"

#include "platform/notifications/FreedesktopNotifications.h"

#include <QCoreApplication>
#include <QMutex>
#include <QPointer>

namespace harkwell {

namespace {
QMutex g_lock;                              // guards both pointers below
QPointer<Notifications> g_installed;        // put in place by setCurrent
QPointer<Notifications> g_desktop;          // made on first use, owned by the application object
}  // namespace

Notifications& Notifications::current()
{
    QMutexLocker locker(&g_lock);
    if (g_installed)
        return *g_installed;
    if (!g_desktop) {
        auto* desktop = new FreedesktopNotifications();
        // Parented to the application so it goes away while the bus connection is still usable.
        if (QCoreApplication* app = QCoreApplication::instance()) {
            desktop->moveToThread(app->thread());
            desktop->setParent(app);
        }
        g_desktop = desktop;
    }
    return *g_desktop;
}

void Notifications::setCurrent(Notifications* notifications)
{
    QMutexLocker locker(&g_lock);
    g_installed = notifications;
}

}  // namespace harkwell
