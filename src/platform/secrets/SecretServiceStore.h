#pragma once
// The freedesktop Secret Service (GNOME Keyring, KWallet) through libsecret's synchronous calls.
// Items carry the attributes "service" and "account", like a generic password.

#include "platform/secrets/SecretStore.h"

namespace harkwell {

class SecretServiceStore final : public SecretStore {
public:
    // True when a Secret Service owns its bus name or can be started on demand on the session bus.
    static bool isAvailable();

    std::expected<QByteArray, SecretError> read(const QString& service, const QString& account) override;
    std::expected<void, SecretError> write(const QString& service, const QString& account,
                                           const QByteArray& secret) override;
    std::expected<void, SecretError> remove(const QString& service, const QString& account) override;

private:
    std::expected<QByteArray, SecretError> readOnce(const QString& service, const QString& account);
    std::expected<void, SecretError> writeOnce(const QString& service, const QString& account, const QByteArray& secret);
    std::expected<void, SecretError> removeOnce(const QString& service, const QString& account);
};

}  // namespace harkwell
