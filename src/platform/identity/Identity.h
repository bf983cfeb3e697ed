#pragma once
// Who Harkwell is to the system: identifiers, its predecessor's, the service's default address.

#include "platform/identity/BuildInfo.h"

namespace harkwell::identity {

// Also the device token's keychain service, the user-defaults domain and the notification app name.
inline constexpr char kBundleIdentifier[] = "app.harkwell.Harkwell";
inline constexpr char kApplicationName[] = "Harkwell";
inline constexpr char kProductPrefix[] = "harkwell";

inline constexpr char kPredecessorBundleIdentifier[] = "app.corvale.Corvale";
inline constexpr char kPredecessorKeychainService[] = "corvale.mirelon";

inline constexpr char kDefaultMirelonBaseUrl[] = "https://api.mirelon.example/api/v1";
inline constexpr char kLinkRoot[] = "https://harkwell.example/";

inline constexpr char kVersion[] = HARKWELL_VERSION;
inline constexpr char kBuildNumber[] = HARKWELL_BUILD_NUMBER;

}  // namespace harkwell::identity
