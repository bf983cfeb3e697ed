#pragma once
// The desktop's user notifications, in the words of the code that posts them: a request with an
// identifier (a later one with the same identifier replaces the earlier), a title, a body and a
// click payload that comes back when the user clicks it.

#include <QMap>
#include <QObject>
#include <QString>

#include <expected>
#include <functional>

namespace harkwell {

struct NotificationRequest {
    QString identifier;
    QString title;
    QString body;
    QString threadIdentifier;       // kept for the record; the desktop service has no threads
    QMap<QString, QString> payload; // handed back on a click
    bool sound = true;              // the default sound
};

enum class NotificationAuthorization { NotDetermined, Denied, Authorized };

// Why a notification could not be handed to the desktop, in words fit for the log.
struct NotificationError {
    QString text;
};

using NotificationAdded = std::function<void(std::expected<void, NotificationError>)>;

class Notifications : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~Notifications() override = default;

    // "Authorized" when a notification service answers, "not determined" when none does.
    virtual NotificationAuthorization authorization() = 0;
    // Asks to show alerts with sound; the answer arrives on the caller's thread through done.
    virtual void requestAuthorization(std::function<void(bool granted)> done) = 0;
    // Posts at once; nothing is shown when no service answers. done, when given, learns on the
    // caller's thread whether the desktop took the request.
    virtual void add(const NotificationRequest& request, NotificationAdded done = {}) = 0;

    // The process's notification centre, as the desktop offers one: the freedesktop service over
    // D-Bus unless a test (or the application) has put another in place with setCurrent.
    static Notifications& current();
    static void setCurrent(Notifications* notifications);

signals:
    // The user clicked a notification posted by this process (its "default" action).
    void clicked(const QString& identifier, const QMap<QString, QString>& payload);
};

}  // namespace harkwell
