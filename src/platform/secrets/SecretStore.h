#pragma once
// Stores the device token out of plain sight: generic secrets addressed by service and account.

#include <QByteArray>
#include <QString>

#include <expected>

namespace harkwell {

struct SecretError {
    enum class Kind {
        NotFound,     // no secret under this service and account
        Unavailable,  // the store itself cannot be reached
        Failed,       // the store answered with an error
    };
    Kind kind = Kind::Failed;
    QString text;  // user-facing
};

class SecretStore {
public:
    virtual ~SecretStore() = default;

    // The secret's bytes exactly as stored; NotFound when there is none.
    virtual std::expected<QByteArray, SecretError> read(const QString& service, const QString& account) = 0;
    // Replaces the secret in place: afterwards exactly one secret is kept under service and account.
    virtual std::expected<void, SecretError> write(const QString& service, const QString& account,
                                                   const QByteArray& secret) = 0;
    // Removing a secret that is not there succeeds.
    virtual std::expected<void, SecretError> remove(const QString& service, const QString& account) = 0;
};

}  // namespace harkwell
