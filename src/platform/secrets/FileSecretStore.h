#pragma once
// Secrets in a JSON file readable only by the user, for machines where no Secret Service answers:
// {"<service>": {"<account>": "<secret>"}}, replaced atomically on every change. A file that others
// can read is set back to 0600 when it is read; a damaged one is moved aside (and said so), so
// that a new pairing can write a fresh file.

#include "platform/secrets/SecretStore.h"

#include <QJsonObject>
#include <QMutex>

#include <functional>

namespace harkwell {

class FileSecretStore final : public SecretStore {
public:
    using Log = std::function<void(const QString& line)>;
    explicit FileSecretStore(QString path, Log log = {});

    QString path() const { return m_path; }

    std::expected<QByteArray, SecretError> read(const QString& service, const QString& account) override;
    std::expected<void, SecretError> write(const QString& service, const QString& account,
                                           const QByteArray& secret) override;
    std::expected<void, SecretError> remove(const QString& service, const QString& account) override;

private:
    struct Loaded {
        QJsonObject services;
        QString damage;  // what was wrong with a file moved aside; empty when it was sound
    };
    std::expected<Loaded, SecretError> load();
    std::expected<void, SecretError> save(const QJsonObject& services) const;
    void say(const QString& line) const;

    const QString m_path;
    const Log m_log;
    QMutex m_lock;  // serialises each read-modify-write of the file
};

}  // namespace harkwell
