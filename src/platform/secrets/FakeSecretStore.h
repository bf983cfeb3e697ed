#pragma once
// An in-memory store for tests: it can be told to fail, or to hand back other bytes than were
// written (a damaged item).

#include "platform/secrets/SecretStore.h"

#include <QMap>
#include <QMutex>
#include <QPair>
#include <QThread>

#include <atomic>
#include <chrono>

#include <optional>

namespace harkwell {

class FakeSecretStore final : public SecretStore {
public:
    std::expected<QByteArray, SecretError> read(const QString& service, const QString& account) override
    {
        // As a keyring that waits on its unlock prompt.
        if (const auto delay = m_readDelay.load(); delay.count() > 0)
            QThread::msleep(static_cast<unsigned long>(delay.count()));
        QMutexLocker locker(&m_lock);
        if (m_failReads)
            return std::unexpected(SecretError{SecretError::Kind::Failed, QStringLiteral("reading is broken")});
        if (m_readBack)
            return *m_readBack;
        const auto found = m_items.constFind({service, account});
        if (found == m_items.constEnd())
            return std::unexpected(SecretError{SecretError::Kind::NotFound, QStringLiteral("No secret is stored.")});
        return *found;
    }
    std::expected<void, SecretError> write(const QString& service, const QString& account,
                                           const QByteArray& secret) override
    {
        QMutexLocker locker(&m_lock);
        ++m_writes;
        if (m_failWrites)
            return std::unexpected(SecretError{SecretError::Kind::Failed, QStringLiteral("writing is broken")});
        m_items.insert({service, account}, secret);
        return {};
    }
    std::expected<void, SecretError> remove(const QString& service, const QString& account) override
    {
        QMutexLocker locker(&m_lock);
        if (m_failWrites)
            return std::unexpected(SecretError{SecretError::Kind::Failed, QStringLiteral("writing is broken")});
        m_items.remove({service, account});
        return {};
    }

    void setReadDelay(std::chrono::milliseconds delay) { m_readDelay = delay; }
    void setFailReads(bool fail) { QMutexLocker locker(&m_lock); m_failReads = fail; }
    void setFailWrites(bool fail) { QMutexLocker locker(&m_lock); m_failWrites = fail; }
    // Every read returns these bytes, whatever was written.
    void setReadBack(std::optional<QByteArray> bytes) { QMutexLocker locker(&m_lock); m_readBack = std::move(bytes); }

    std::optional<QByteArray> item(const QString& service, const QString& account) const
    {
        QMutexLocker locker(&m_lock);
        const auto found = m_items.constFind({service, account});
        return found == m_items.constEnd() ? std::nullopt : std::optional<QByteArray>(*found);
    }
    int itemCount() const { QMutexLocker locker(&m_lock); return int(m_items.size()); }
    int writeCount() const { QMutexLocker locker(&m_lock); return m_writes; }

private:
    std::atomic<std::chrono::milliseconds> m_readDelay{std::chrono::milliseconds(0)};
    mutable QMutex m_lock;  // guards every field below
    QMap<QPair<QString, QString>, QByteArray> m_items;
    std::optional<QByteArray> m_readBack;
    bool m_failReads = false;
    bool m_failWrites = false;
    int m_writes = 0;
};

}  // namespace harkwell
