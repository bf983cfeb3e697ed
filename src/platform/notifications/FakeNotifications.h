#pragma once
// Records what would have been posted; tests set the authorisation and simulate clicks.

#include "platform/notifications/Notifications.h"

#include <QList>

#include <optional>

namespace harkwell {

class FakeNotifications final : public Notifications {
    Q_OBJECT
public:
    using Notifications::Notifications;

    NotificationAuthorization authorization() override { return m_authorization; }
    void requestAuthorization(std::function<void(bool)> done) override
    {
        ++m_authorizationRequests;
        if (m_grantOnRequest && m_authorization == NotificationAuthorization::NotDetermined)
            m_authorization = NotificationAuthorization::Authorized;
        done(m_authorization == NotificationAuthorization::Authorized);
    }
    void add(const NotificationRequest& request, NotificationAdded done = {}) override
    {
        if (m_addError) {
            if (done)
                done(std::unexpected(*m_addError));
            return;
        }
        m_posted.append(request);
        if (done)
            done({});
    }

    void setAuthorization(NotificationAuthorization authorization) { m_authorization = authorization; }
    // When on, a request made while not determined is granted, as a user who says yes.
    void setGrantOnRequest(bool on) { m_grantOnRequest = on; }
    const QList<NotificationRequest>& posted() const { return m_posted; }
    void clearPosted() { m_posted.clear(); }
    // Every later add fails with this text (none: adds succeed again).
    void setAddError(std::optional<QString> text)
    {
        m_addError = text ? std::optional(NotificationError{*text}) : std::nullopt;
    }
    int authorizationRequests() const { return m_authorizationRequests; }
    void click(const NotificationRequest& request) { emit clicked(request.identifier, request.payload); }

private:
    NotificationAuthorization m_authorization = NotificationAuthorization::Authorized;
    QList<NotificationRequest> m_posted;
    int m_authorizationRequests = 0;
    bool m_grantOnRequest = false;
    std::optional<NotificationError> m_addError;
};

}  // namespace harkwell
