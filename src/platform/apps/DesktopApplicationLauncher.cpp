#include "platform/apps/DesktopApplicationLauncher.h"

namespace harkwell {

ApplicationLauncher& ApplicationLauncher::system()
{
    static DesktopApplicationLauncher launcher;
    return launcher;
}

bool DesktopApplicationLauncher::isRunning(const QString&) { return false; }

std::optional<QString> DesktopApplicationLauncher::locate(const QString&) { return std::nullopt; }

void DesktopApplicationLauncher::openHidden(const QString& location, std::function<void(std::optional<QString>)> done)
{
    done(QStringLiteral("No application is installed at %1").arg(location));
}

}  // namespace harkwell
