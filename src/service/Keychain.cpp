#include "service/Keychain.h"

#include "foundation/HarkwellLog.h"
#include "platform/identity/Identity.h"
#include "platform/secrets/SystemSecretStore.h"
#include "service/Utf8Text.h"

#include <QFuture>
#include <QMutex>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>

namespace harkwell {

namespace {

std::atomic<SecretStore*> g_store{nullptr};

// -1 while no read or write of the device token has told, else 0 or 1.
std::atomic<int> g_paired{-1};
QMutex g_pairedReadLock;
QFuture<void> g_pairedRead;  // guarded by g_pairedReadLock: the background read, when one runs

bool isDeviceToken(const QString& account, const QString& service)
{
    return account == QLatin1String(Keychain::kDeviceTokenAccount) && service == Keychain::deviceTokenService();
}

SecretStore& systemStore()
{
    static SystemSecretStore store([](const QString& line) { HarkwellLog::log(line); });
    return store;
}

}  // namespace

QString Keychain::deviceTokenService() { return QString::fromLatin1(identity::kBundleIdentifier); }

SecretStore& Keychain::store()
{
    if (SecretStore* store = g_store.load())
        return *store;
    return systemStore();
}

void Keychain::setStore(SecretStore* store)
{
    // A background read of the store being replaced ends first: the store may go with it.
    QFuture<void> reading;
    {
        QMutexLocker locker(&g_pairedReadLock);
        reading = g_pairedRead;
    }
    reading.waitForFinished();
    g_store.store(store);
    g_paired.store(-1);  // another store may hold another answer
}

std::optional<QString> Keychain::read(const QString& account, const QString& service)
{
    const auto secret = store().read(service, account);
    std::optional<QString> text = secret ? Utf8Text::strict(*secret) : std::nullopt;
    if (isDeviceToken(account, service))
        g_paired.store(text && !text->isEmpty() ? 1 : 0);
    return text;
}

bool Keychain::write(const QString& account, const std::optional<QString>& value, const QString& service)
{
    const bool removing = !value || value->isEmpty();
    const bool written = removing ? store().remove(service, account).has_value()
                                  : store().write(service, account, value->toUtf8()).has_value();
    if (written && isDeviceToken(account, service))
        g_paired.store(removing ? 0 : 1);
    return written;
}

bool Keychain::isPaired()
{
    const int known = g_paired.load();
    if (known < 0) {
        QMutexLocker locker(&g_pairedReadLock);
        if (g_pairedRead.isFinished())
            g_pairedRead = QtConcurrent::run([] { (void)hasDeviceToken(); });
    }
    return known == 1;
}

bool Keychain::hasDeviceToken()
{
    const auto token = read(QLatin1String(kDeviceTokenAccount), deviceTokenService());
    return token && !token->isEmpty();
}

std::optional<QString> Keychain::authorizationHeader()
{
    const auto token = read(QLatin1String(kDeviceTokenAccount), deviceTokenService());
    if (!token || token->isEmpty())
        return std::nullopt;
    return QStringLiteral("Bearer ") + *token;
}

}  // namespace harkwell
