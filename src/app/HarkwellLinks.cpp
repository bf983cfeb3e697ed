#include "app/HarkwellLinks.h"

#include "platform/identity/Identity.h"

#include <QLocale>

namespace harkwell {

QString HarkwellLinks::languageSegment(const QStringList& preferredLanguages)
{
    if (!preferredLanguages.isEmpty() && preferredLanguages.first().startsWith(QLatin1String("sv")))
        return QStringLiteral("sv");
    return QStringLiteral("en");
}

QUrl HarkwellLinks::productPage()
{
    return QUrl(QLatin1String(identity::kLinkRoot) + languageSegment(QLocale::system().uiLanguages()) + QStringLiteral("/mac/"));
}

QUrl HarkwellLinks::setupGuide()
{
    return QUrl(QLatin1String(identity::kLinkRoot) + languageSegment(QLocale::system().uiLanguages())
                + QStringLiteral("/onboarding/"));
}

}  // namespace harkwell
