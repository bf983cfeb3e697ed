#pragma once
// The device token that pairs this computer with Mirelon, kept in the secret store as one item
// (service = the application's bundle identifier, account "mirelon_device_token"). Nothing is cached:
// every caller reads the store again, so pairing and disconnecting take effect at the next request.

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

    static bool hasDeviceToken();
    // "Bearer " and the stored token exactly as stored; nothing without a token.
    static std::optional<QString> authorizationHeader();

    // The store behind every operation: the system's (Secret Service, else the secrets file)
    // unless another is put in place; nullptr puts the system's back.
    static SecretStore& store();
    static void setStore(SecretStore* store);
};

}  // namespace harkwell
