#include "platform/secrets/SecretServiceStore.h"

#include "platform/identity/Identity.h"

// GLib names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

#include <QMutex>

#include <memory>

namespace harkwell {

namespace {

constexpr char kBusName[] = "org.freedesktop.secrets";

const SecretSchema* genericPasswordSchema()
{
    static const SecretSchema schema = {
        "app.harkwell.GenericPassword",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    return &schema;
}

struct GErrorDeleter {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

SecretError failure(GError* raw)
{
    ErrorPtr error(raw);
    // libsecret keeps one connection to the service for the process; after the keyring daemon has
    // gone (and perhaps come back), that connection's session is dead, so the next call makes a new one.
    secret_service_disconnect();
    const QString text = QStringLiteral("The Secret Service failed: %1").arg(QString::fromUtf8(error->message));
    // A session the service no longer knows belongs to a daemon that has since been restarted.
    gchar* remote = g_dbus_error_get_remote_error(error.get());
    const bool staleSession = remote && g_strcmp0(remote, "org.freedesktop.Secret.Error.NoSession") == 0;
    g_free(remote);
    const bool unreachable = staleSession
        || (error->domain == G_DBUS_ERROR
            && (error->code == G_DBUS_ERROR_SERVICE_UNKNOWN || error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER
                || error->code == G_DBUS_ERROR_NO_REPLY || error->code == G_DBUS_ERROR_DISCONNECTED));
    return SecretError{unreachable ? SecretError::Kind::Unavailable : SecretError::Kind::Failed, text};
}

bool busAnswersFor(GDBusConnection* bus, const char* method, bool listHolds)
{
    GError* error = nullptr;
    GVariant* reply = listHolds
        ? g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                      method, nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr,
                                      &error)
        : g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                      method, g_variant_new("(s)", kBusName), G_VARIANT_TYPE("(b)"),
                                      G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
    if (!reply) {
        g_clear_error(&error);
        return false;
    }
    bool found = false;
    if (listHolds) {
        GVariantIter* names = nullptr;
        const gchar* name = nullptr;
        g_variant_get(reply, "(as)", &names);
        while (g_variant_iter_loop(names, "&s", &name))
            found = found || g_strcmp0(name, kBusName) == 0;
        g_variant_iter_free(names);
    } else {
        gboolean owned = FALSE;
        g_variant_get(reply, "(b)", &owned);
        found = owned;
    }
    g_variant_unref(reply);
    return found;
}

// The unique bus name of the service's current owner; empty when nobody owns it.
QByteArray currentOwner(GDBusConnection* bus)
{
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "GetNameOwner", g_variant_new("(s)", kBusName),
                                                  G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
    if (!reply) {
        g_clear_error(&error);
        return {};
    }
    const gchar* owner = nullptr;
    g_variant_get(reply, "(&s)", &owner);
    QByteArray name(owner);
    g_variant_unref(reply);
    return name;
}

// A keyring daemon that went and came back answers under a new bus name, which libsecret's kept
// connection does not know: one more try on a fresh connection reaches it.
template <typename Operation>
auto retriedOnce(Operation operation)
{
    auto result = operation();
    if (!result && result.error().kind == SecretError::Kind::Unavailable)
        result = operation();
    return result;
}

}  // namespace

bool SecretServiceStore::isAvailable()
{
    // Without a session bus address GIO would try to autolaunch one; a headless machine has none.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return false;
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        g_clear_error(&error);
        return false;
    }
    // libsecret keeps its session with the daemon it first reached; one started since (a restarted
    // keyring) knows nothing of it, so a new owner means a new connection.
    static QMutex ownerLock;
    static QByteArray lastOwner;  // guarded by ownerLock
    const QByteArray owner = currentOwner(bus);
    {
        QMutexLocker locker(&ownerLock);
        if (!owner.isEmpty() && owner != lastOwner) {
            if (!lastOwner.isEmpty())
                secret_service_disconnect();
            lastOwner = owner;
        }
    }
    const bool available = !owner.isEmpty() || busAnswersFor(bus, "ListActivatableNames", true);
    g_object_unref(bus);
    return available;
}

std::expected<QByteArray, SecretError> SecretServiceStore::read(const QString& service, const QString& account)
{
    return retriedOnce([&] { return readOnce(service, account); });
}

std::expected<QByteArray, SecretError> SecretServiceStore::readOnce(const QString& service, const QString& account)
{
    const QByteArray serviceUtf8 = service.toUtf8();
    const QByteArray accountUtf8 = account.toUtf8();
    GError* error = nullptr;
    SecretValue* value = secret_password_lookup_binary_sync(genericPasswordSchema(), nullptr, &error, "service",
                                                            serviceUtf8.constData(), "account",
                                                            accountUtf8.constData(), nullptr);
    if (error)
        return std::unexpected(failure(error));
    if (!value)
        return std::unexpected(SecretError{SecretError::Kind::NotFound, QStringLiteral("No secret is stored.")});
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    QByteArray secret(bytes, static_cast<qsizetype>(length));
    secret_value_unref(value);
    return secret;
}

std::expected<void, SecretError> SecretServiceStore::write(const QString& service, const QString& account,
                                                           const QByteArray& secret)
{
    return retriedOnce([&] { return writeOnce(service, account, secret); });
}

std::expected<void, SecretError> SecretServiceStore::writeOnce(const QString& service, const QString& account,
                                                               const QByteArray& secret)
{
    const QByteArray serviceUtf8 = service.toUtf8();
    const QByteArray accountUtf8 = account.toUtf8();
    // What a keyring manager lists: whose item it is, then which.
    const QByteArray label =
        QStringLiteral("%1 (%2)").arg(QLatin1String(identity::kApplicationName), account).toUtf8();
    SecretValue* value = secret_value_new(secret.constData(), secret.size(), "application/octet-stream");
    GError* error = nullptr;
    // Storing under the same attributes replaces the item's secret; no second item is made.
    secret_password_store_binary_sync(genericPasswordSchema(), SECRET_COLLECTION_DEFAULT, label.constData(), value,
                                      nullptr, &error, "service", serviceUtf8.constData(), "account",
                                      accountUtf8.constData(), nullptr);
    secret_value_unref(value);
    if (error)
        return std::unexpected(failure(error));
    return {};
}

std::expected<void, SecretError> SecretServiceStore::remove(const QString& service, const QString& account)
{
    return retriedOnce([&] { return removeOnce(service, account); });
}

std::expected<void, SecretError> SecretServiceStore::removeOnce(const QString& service, const QString& account)
{
    const QByteArray serviceUtf8 = service.toUtf8();
    const QByteArray accountUtf8 = account.toUtf8();
    GError* error = nullptr;
    secret_password_clear_sync(genericPasswordSchema(), nullptr, &error, "service", serviceUtf8.constData(),
                               "account", accountUtf8.constData(), nullptr);
    if (error)
        return std::unexpected(failure(error));
    return {};
}

}  // namespace harkwell
