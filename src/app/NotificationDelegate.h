#pragma once
// Decides what a click on one of Harkwell's notifications opens: a window named by the payload's
// "action", else the note in Obsidian, else the note or folder in its default application.

#include <QMap>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

namespace harkwell {

class Notifications;
class SchemeHandlers;

class NotificationDelegate final : public QObject {
    Q_OBJECT
public:
    struct Routes {
        std::function<void()> showCaptureSettings;  // "action" = "captureSettings"
        std::function<void()> showRecorder;         // "action" = "recorder"
        std::function<void(const QUrl&)> open;      // opens without waiting, logs a failure
    };

    NotificationDelegate(Notifications& centre, const SchemeHandlers& handlers, Routes routes, QObject* parent = nullptr);

    void handleClick(const QMap<QString, QString>& payload);

private:
    const SchemeHandlers& m_handlers;
    Routes m_routes;
};

}  // namespace harkwell
