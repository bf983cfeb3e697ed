#pragma once
// The Linux desktop knows applications by desktop-entry names, not by macOS bundle identifiers:
// none of those is ever installed or running here.

#include "platform/apps/ApplicationLauncher.h"

namespace harkwell {

class DesktopApplicationLauncher final : public ApplicationLauncher {
public:
    bool isRunning(const QString& bundleIdentifier) override;
    std::optional<QString> locate(const QString& bundleIdentifier) override;
    void openHidden(const QString& location, std::function<void(std::optional<QString> error)> done) override;
};

}  // namespace harkwell
