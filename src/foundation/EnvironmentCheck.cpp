#include "foundation/EnvironmentCheck.h"

#include "platform/defaults/Defaults.h"
#include "platform/notifications/Notifications.h"

#include <QPointer>

namespace harkwell {

QString EnvironmentCheck::notifiedKey(const QString& id) { return QLatin1String(kNotifiedKeyPrefix) + id; }

void EnvironmentCheck::notifyOnce(const QString& id, const QString& title, const QString& body)
{
    Defaults defaults = Defaults::standard();
    const QString key = notifiedKey(id);
    if (defaults.boolValue(key))
        return;
    defaults.setBool(key, true);

    NotificationRequest request;
    request.identifier = QStringLiteral("env.") + id;
    request.title = title;
    request.body = body;
    request.sound = false;

    // Callers run on worker queues; the centre is asked on its own thread.
    QPointer<Notifications> centre = &Notifications::current();
    QMetaObject::invokeMethod(centre, [centre, request] {
        if (!centre)
            return;
        centre->requestAuthorization([centre, request](bool) {
            if (centre)
                centre->add(request);
        });
    });
}

}  // namespace harkwell
