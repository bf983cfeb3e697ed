#include "platform/secrets/SystemSecretStore.h"

#include "platform/paths/Paths.h"
#include "platform/secrets/FileSecretStore.h"
#include "platform/secrets/SecretServiceStore.h"

namespace harkwell {

SystemSecretStore::SystemSecretStore(Log log) : m_log(std::move(log)) {}

SystemSecretStore::~SystemSecretStore() = default;

SecretStore& SystemSecretStore::backend()
{
    QMutexLocker locker(&m_lock);
    if (!m_backend) {
        if (SecretServiceStore::isAvailable()) {
            m_backend = std::make_unique<SecretServiceStore>();
        } else {
            auto file = std::make_unique<FileSecretStore>(Paths::secretsFile());
            if (m_log)
                m_log(QStringLiteral("[harkwell] keychain: no Secret Service answers; the device token is kept in %1 "
                                     "(readable only by you)")
                          .arg(file->path()));
            m_backend = std::move(file);
        }
    }
    return *m_backend;
}

std::expected<QByteArray, SecretError> SystemSecretStore::read(const QString& service, const QString& account)
{
    return backend().read(service, account);
}

std::expected<void, SecretError> SystemSecretStore::write(const QString& service, const QString& account,
                                                          const QByteArray& secret)
{
    return backend().write(service, account, secret);
}

std::expected<void, SecretError> SystemSecretStore::remove(const QString& service, const QString& account)
{
    return backend().remove(service, account);
}

}  // namespace harkwell
