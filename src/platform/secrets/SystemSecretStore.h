#pragma once
// The store the application uses: the Secret Service when one answers, otherwise the 0600 file
// ~/Library/Application Support/harkwell/secrets.json. The choice is made once, at first use, and
// the fallback is announced once through the given log.

#include "platform/secrets/SecretStore.h"

#include <QMutex>

#include <functional>
#include <memory>

namespace harkwell {

class SystemSecretStore final : public SecretStore {
public:
    using Log = std::function<void(const QString& line)>;
    explicit SystemSecretStore(Log log);
    ~SystemSecretStore() override;

    std::expected<QByteArray, SecretError> read(const QString& service, const QString& account) override;
    std::expected<void, SecretError> write(const QString& service, const QString& account,
                                           const QByteArray& secret) override;
    std::expected<void, SecretError> remove(const QString& service, const QString& account) override;

private:
    SecretStore& backend();

    Log m_log;
    QMutex m_lock;  // guards m_backend while it is chosen
    std::unique_ptr<SecretStore> m_backend;
};

}  // namespace harkwell
