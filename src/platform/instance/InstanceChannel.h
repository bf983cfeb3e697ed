#pragma once
// How a later launch of Harkwell reaches the one already running: the running instance listens,
// a later one hands over what it was asked to do (an action name such as "search") and exits.

#include <QObject>
#include <QString>

#include <chrono>
#include <expected>

namespace harkwell {

struct InstanceChannelError {
    QString text;  // user-facing
};

class InstanceChannel : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~InstanceChannel() override = default;

    // The running instance: from now on, what later launches send arrives as actionRequested.
    virtual std::expected<void, InstanceChannelError> listen() = 0;
    // A later launch: hands `action` to the running instance. The instance may still be starting,
    // so its channel is waited for, at most `wait`.
    virtual std::expected<void, InstanceChannelError> send(const QString& action, std::chrono::milliseconds wait) = 0;

signals:
    void actionRequested(const QString& action);
};

}  // namespace harkwell
