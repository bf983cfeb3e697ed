#pragma once
// Other applications, by bundle identifier: whether one runs, where it is installed, and starting
// it without bringing it to the front.

#include <QString>

#include <functional>
#include <optional>

namespace harkwell {

class ApplicationLauncher {
public:
    virtual ~ApplicationLauncher() = default;

    virtual bool isRunning(const QString& bundleIdentifier) = 0;
    virtual std::optional<QString> locate(const QString& bundleIdentifier) = 0;
    // Starts the application hidden, in the background, not added to the recent items. `done` gets the
    // failure's description, or nothing on success; it may be called on another thread.
    virtual void openHidden(const QString& location, std::function<void(std::optional<QString> error)> done) = 0;

    // This desktop's.
    static ApplicationLauncher& system();
};

}  // namespace harkwell
