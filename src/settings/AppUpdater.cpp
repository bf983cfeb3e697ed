#include "settings/AppUpdater.h"

#include "foundation/HarkwellLog.h"

namespace harkwell {

AppUpdater::AppUpdater(Defaults defaults) : m_defaults(std::move(defaults)) {}

AppUpdater& AppUpdater::controller()
{
    static AppUpdater updater(Defaults::standard());
    return updater;
}

bool AppUpdater::automaticallyChecksForUpdates() const
{
    return m_defaults.boolValue(QString::fromLatin1(kAutomaticChecksKey), true);
}

void AppUpdater::setAutomaticallyChecksForUpdates(bool on)
{
    m_defaults.setBool(QString::fromLatin1(kAutomaticChecksKey), on);
}

void AppUpdater::checkForUpdates()
{
    HarkwellLog::log(QStringLiteral("[harkwell] updater: check for updates requested; this build has no update feed"));
}

}  // namespace harkwell
