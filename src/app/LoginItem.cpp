#include "app/LoginItem.h"

#include "foundation/HarkwellLog.h"

namespace harkwell {

LoginItem::LoginItem(Autostart& autostart, Defaults defaults, bool hasBundleIdentifier)
    : m_autostart(autostart), m_defaults(std::move(defaults)), m_hasBundleIdentifier(hasBundleIdentifier)
{
}

QString LoginItem::describe(AutostartStatus status)
{
    switch (status) {
    case AutostartStatus::NotRegistered:
        return QStringLiteral("not registered");
    case AutostartStatus::Enabled:
        return QStringLiteral("enabled");
    case AutostartStatus::RequiresApproval:
        return QStringLiteral("requires approval in system settings > General > Login Items");
    case AutostartStatus::NotFound:
        return QStringLiteral("not found");
    }
    return QStringLiteral("unknown (%1)").arg(int(status));
}

std::optional<QString> LoginItem::set(bool openAtLogin)
{
    // A failed attempt still counts as the user's choice: the default must not override it later.
    m_defaults.setBool(QLatin1String(kChosenKey), true);
    const auto result = openAtLogin ? m_autostart.registerItem() : m_autostart.unregisterItem();
    if (!result) {
        HarkwellLog::log(QStringLiteral("[harkwell] login item: %1 failed -- %2")
                             .arg(openAtLogin ? QStringLiteral("register") : QStringLiteral("unregister"), result.error().text));
        return result.error().text;
    }
    HarkwellLog::log(QStringLiteral("[harkwell] login item: %1 (now %2)")
                         .arg(openAtLogin ? QStringLiteral("registered") : QStringLiteral("unregistered"),
                              describe(m_autostart.status())));
    return std::nullopt;
}

void LoginItem::enableByDefaultOnce()
{
    m_defaults.remove(QLatin1String(kOlderDecidedKey));
    if (!m_hasBundleIdentifier)
        return;

    const AutostartStatus status = m_autostart.status();
    HarkwellLog::log(QStringLiteral("[harkwell] login item: %1").arg(describe(status)));
    if (const auto followed = m_autostart.follow(); !followed)
        HarkwellLog::log(QStringLiteral("[harkwell] login item: could not point it at this copy -- %1").arg(followed.error().text));
    else if (*followed)
        HarkwellLog::log(QStringLiteral("[harkwell] login item: now starts the installed copy"));
    if (m_defaults.boolValue(QLatin1String(kChosenKey)))
        return;

    switch (status) {
    case AutostartStatus::NotRegistered:
    case AutostartStatus::NotFound:
        HarkwellLog::log(QStringLiteral("[harkwell] login item: on by default (no choice made yet)"));
        if (set(true))
            m_defaults.remove(QLatin1String(kChosenKey));  // try the default again next launch
        break;
    case AutostartStatus::Enabled:
    case AutostartStatus::RequiresApproval:
        m_defaults.setBool(QLatin1String(kChosenKey), true);
        break;
    }
}

}  // namespace harkwell
