#pragma once
// The device token that pairs this computer with Mirelon, kept in the secret store as one item
// (service = the application's bundle identifier, account "mirelon_device_token"). The token is never
// cached: every request reads the store again (off the main thread, since a locked keyring can keep
// a read waiting), so pairing and disconnecting take effect at the next request. Whether a token is
// stored is kept in memory as well, for the main thread's questions (menu rows, settings, gates).

#include <QString>

#include <optional>

namespace harkwell {

class SecretStore;

class Keychain {
public:
    static constexpr char kDeviceTokenAccount[] = "mirelon_device_token";
    static QString deviceTokenService();

    // The item's text; nothing when there is no item, the store fails, or the bytes are not UTF-8.
    static std::optional<QString> read(const QString& account, const QString& service);
    // A non-empty value replaces the item's secret (or adds the item); an absent or empty one
    // deletes it, and deleting what is not there succeeds.
    static bool write(const QString& account, const std::optional<QString>& value, const QString& service);

    // Reads the store: never on the main thread. Keeps the paired flag up to date as well.
    static bool hasDeviceToken();
    // The paired flag: whether a device token was stored at the last read or write of it. Never
    // waits; the first question starts a read in the background and is answered "no" until it ends.
    static bool isPaired();
    // "Bearer " and the stored token exactly as stored; nothing without a token.
    static std::optional<QString> authorizationHeader();

    // The store behind every operation: the system's (Secret Service, else the secrets file)
    // unless another is put in place; nullptr puts the system's back.
    static SecretStore& store();
    static void setStore(SecretStore* store);
};

}  // namespace harkwell
