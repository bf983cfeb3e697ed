#include "service/Keychain.h"

#include "foundation/HarkwellLog.h"
#include "platform/identity/Identity.h"
#include "platform/secrets/SystemSecretStore.h"
#include "service/Utf8Text.h"


#include <atomic>

namespace harkwell {

namespace {

std::atomic<SecretStore*> g_store{nullptr};

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

void Keychain::setStore(SecretStore* store) { g_store.store(store); }

std::optional<QString> Keychain::read(const QString& account, const QString& service)
{
    const auto secret = store().read(service, account);
    if (!secret)
        return std::nullopt;
    return Utf8Text::strict(*secret);
}

bool Keychain::write(const QString& account, const std::optional<QString>& value, const QString& service)
{
    if (!value || value->isEmpty())
        return store().remove(service, account).has_value();
    return store().write(service, account, value->toUtf8()).has_value();
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
