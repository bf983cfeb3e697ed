#include "platform/secrets/SystemSecretStore.h"

#include "platform/paths/Paths.h"
#include "platform/secrets/SecretServiceStore.h"

namespace harkwell {

SystemSecretStore::SystemSecretStore(Log log)
    : SystemSecretStore(log, std::make_unique<SecretServiceStore>(), &SecretServiceStore::isAvailable,
                        Paths::secretsFile())
{
}

SystemSecretStore::SystemSecretStore(Log log, std::unique_ptr<SecretStore> keyring, Answers keyringAnswers,
                                     QString filePath)
    : m_log(std::move(log)), m_keyring(std::move(keyring)), m_keyringAnswers(std::move(keyringAnswers)),
      m_file(std::move(filePath), m_log)
{
}

SystemSecretStore::~SystemSecretStore() = default;

bool SystemSecretStore::keyringAnswers()
{
    if (m_keyringAnswers())
        return true;
    if (!m_saidFallback && m_log) {
        m_saidFallback = true;
        m_log(QStringLiteral("[harkwell] keychain: no Secret Service answers; the device token is kept in %1 "
                             "(readable only by you)")
                  .arg(m_file.path()));
    }
    return false;
}

std::expected<QByteArray, SecretError> SystemSecretStore::read(const QString& service, const QString& account)
{
    QMutexLocker locker(&m_lock);
    auto inFile = m_file.read(service, account);
    if (!keyringAnswers())
        return inFile;
    if (!inFile)
        return m_keyring->read(service, account);
    if (m_moveRefused)
        return inFile;

    // Written while the Secret Service was away, so newer than what it holds: moved in.
    if (auto moved = m_keyring->write(service, account, *inFile); !moved) {
        m_moveRefused = true;  // asked again after the next write, not at every request
        if (m_log)
            m_log(QStringLiteral("[harkwell] keychain: could not move the secret of %1 from %2 into the Secret "
                                 "Service: %3")
                      .arg(service, m_file.path(), moved.error().text));
        return inFile;
    }
    if (auto removed = m_file.remove(service, account); !removed) {
        if (m_log)
            m_log(QStringLiteral("[harkwell] keychain: %1").arg(removed.error().text));
        return inFile;
    }
    if (m_log)
        m_log(QStringLiteral("[harkwell] keychain: the secret of %1 moved from %2 into the Secret Service")
                  .arg(service, m_file.path()));
    return inFile;
}

std::expected<void, SecretError> SystemSecretStore::writeToFile(const QString& service, const QString& account,
                                                                const QByteArray& secret)
{
    return m_file.write(service, account, secret);
}

std::expected<void, SecretError> SystemSecretStore::write(const QString& service, const QString& account,
                                                          const QByteArray& secret)
{
    QMutexLocker locker(&m_lock);
    m_moveRefused = false;
    if (!keyringAnswers())
        return writeToFile(service, account, secret);
    if (auto stored = m_keyring->write(service, account, secret); !stored) {
        // A keyring that answers and still refuses (a dismissed unlock prompt): the file keeps the
        // token, and the next read moves it in.
        if (m_log)
            m_log(QStringLiteral("[harkwell] keychain: the Secret Service did not take the secret of %1 (%2); it is "
                                 "kept in %3 for now")
                      .arg(service, stored.error().text, m_file.path()));
        return writeToFile(service, account, secret);
    }
    // An older secret left in the file would count as the newer one at the next read.
    if (auto removed = m_file.remove(service, account); !removed)
        return writeToFile(service, account, secret);
    return {};
}

std::expected<void, SecretError> SystemSecretStore::remove(const QString& service, const QString& account)
{
    QMutexLocker locker(&m_lock);
    auto fromFile = m_file.remove(service, account);
    if (!keyringAnswers())
        return fromFile;
    auto fromKeyring = m_keyring->remove(service, account);
    if (!fromKeyring)
        return fromKeyring;
    return fromFile;
}

}  // namespace harkwell
