#pragma once
// Secrets in a JSON file readable only by the user, for machines where no Secret Service answers:
// {"<service>": {"<account>": "<secret>"}}, replaced atomically on every change.

#include "platform/secrets/SecretStore.h"

#include <QJsonObject>
#include <QMutex>

namespace harkwell {

class FileSecretStore final : public SecretStore {
public:
    explicit FileSecretStore(QString path);

    QString path() const { return m_path; }

    std::expected<QByteArray, SecretError> read(const QString& service, const QString& account) override;
    std::expected<void, SecretError> write(const QString& service, const QString& account,
                                           const QByteArray& secret) override;
    std::expected<void, SecretError> remove(const QString& service, const QString& account) override;

private:
    std::expected<QJsonObject, SecretError> load() const;
    std::expected<void, SecretError> save(const QJsonObject& services) const;

    const QString m_path;
    QMutex m_lock;  // serialises each read-modify-write of the file
};

}  // namespace harkwell
