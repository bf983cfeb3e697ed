#pragma once
// Applications the test says are installed or running; launches are recorded and answered with
// the outcome the test chose.

#include "platform/apps/ApplicationLauncher.h"

#include <QHash>
#include <QSet>
#include <QStringList>

namespace harkwell {

class FakeApplicationLauncher final : public ApplicationLauncher {
public:
    void setInstalled(const QString& bundleIdentifier, const QString& location) { m_installed.insert(bundleIdentifier, location); }
    void setRunning(const QString& bundleIdentifier, bool running)
    {
        if (running)
            m_running.insert(bundleIdentifier);
        else
            m_running.remove(bundleIdentifier);
    }
    void setLaunchError(std::optional<QString> error) { m_launchError = std::move(error); }
    const QStringList& launched() const { return m_launched; }

    bool isRunning(const QString& bundleIdentifier) override { return m_running.contains(bundleIdentifier); }
    std::optional<QString> locate(const QString& bundleIdentifier) override
    {
        if (const auto it = m_installed.constFind(bundleIdentifier); it != m_installed.cend())
            return *it;
        return std::nullopt;
    }
    void openHidden(const QString& location, std::function<void(std::optional<QString>)> done) override
    {
        m_launched.append(location);
        done(m_launchError);
    }

private:
    QHash<QString, QString> m_installed;
    QSet<QString> m_running;
    QStringList m_launched;
    std::optional<QString> m_launchError;
};

}  // namespace harkwell
