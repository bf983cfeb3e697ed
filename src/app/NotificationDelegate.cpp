#include "app/NotificationDelegate.h"

#include "platform/notifications/Notifications.h"
#include "platform/schemes/SchemeHandlers.h"

namespace harkwell {

NotificationDelegate::NotificationDelegate(Notifications& centre, const SchemeHandlers& handlers, Routes routes, QObject* parent)
    : QObject(parent), m_handlers(handlers), m_routes(std::move(routes))
{
    connect(&centre, &Notifications::clicked, this,
            [this](const QString&, const QMap<QString, QString>& payload) { handleClick(payload); });
}

void NotificationDelegate::handleClick(const QMap<QString, QString>& payload)
{
    // An action decides alone, even an unknown one: the links of the same payload are not looked at.
    if (const auto action = payload.constFind(QStringLiteral("action")); action != payload.cend()) {
        std::function<void()> route;
        if (*action == QLatin1String("captureSettings"))
            route = m_routes.showCaptureSettings;
        else if (*action == QLatin1String("recorder"))
            route = m_routes.showRecorder;
        if (route)
            QMetaObject::invokeMethod(this, std::move(route), Qt::QueuedConnection);
        return;
    }

    if (const auto link = payload.constFind(QStringLiteral("obsidianLink")); link != payload.cend()) {
        const QUrl url(*link, QUrl::StrictMode);
        if (url.isValid() && !url.scheme().isEmpty() && m_handlers.hasHandler(url)) {
            m_routes.open(url);
            return;
        }
    }

    if (const auto path = payload.constFind(QStringLiteral("filePath")); path != payload.cend())
        m_routes.open(QUrl::fromLocalFile(*path));
}

}  // namespace harkwell
