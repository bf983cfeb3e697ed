#pragma once
// The store the application uses: one token, wherever it lives. The Secret Service is asked first
// whenever it answers, the 0600 file $XDG_CONFIG_HOME/harkwell/secrets.json otherwise.
// A secret the file holds while the Secret Service answers was written while it was away, so it is
// the newer one: it is moved into the Secret Service and taken out of the file. A write goes to the
// Secret Service when it answers and to the file when it does not, so the next start reads what
// the last pairing wrote, whichever was reachable then. Every operation asks again whether the
// Secret Service answers; a desktop whose keyring comes late is used as soon as it is there.

#include "platform/secrets/FileSecretStore.h"
#include "platform/secrets/SecretStore.h"

#include <QMutex>

#include <functional>
#include <memory>

namespace harkwell {

class SystemSecretStore final : public SecretStore {
public:
    using Log = std::function<void(const QString& line)>;
    using Answers = std::function<bool()>;

    // The Secret Service and the file at its usual place.
    explicit SystemSecretStore(Log log);
    // Any keyring, asked whether it answers before each use, and any file.
    SystemSecretStore(Log log, std::unique_ptr<SecretStore> keyring, Answers keyringAnswers, QString filePath);
    ~SystemSecretStore() override;

    std::expected<QByteArray, SecretError> read(const QString& service, const QString& account) override;
    std::expected<void, SecretError> write(const QString& service, const QString& account,
                                           const QByteArray& secret) override;
    std::expected<void, SecretError> remove(const QString& service, const QString& account) override;

private:
    bool keyringAnswers();
    std::expected<void, SecretError> writeToFile(const QString& service, const QString& account,
                                                 const QByteArray& secret);

    Log m_log;
    std::unique_ptr<SecretStore> m_keyring;
    Answers m_keyringAnswers;
    FileSecretStore m_file;
    QMutex m_lock;             // one operation at a time, so a move between the stores is never seen half done
    bool m_saidFallback = false;  // guarded by m_lock
    bool m_moveRefused = false;   // guarded by m_lock: the keyring refused the file's secret
};

}  // namespace harkwell
