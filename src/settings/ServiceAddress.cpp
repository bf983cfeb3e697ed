#include "settings/ServiceAddress.h"

#include "platform/identity/Identity.h"
#include "settings/SettingsEditingCopy.h"

namespace harkwell {

std::optional<QUrl> ServiceAddress::parse(const QString& text)
{
    if (text.isEmpty())
        return std::nullopt;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

QUrl ServiceAddress::defaultBaseUrl() { return QUrl(QString::fromLatin1(identity::kDefaultMirelonBaseUrl)); }

QUrl ServiceAddress::resolvedBaseUrl(const QString& edited)
{
    return parse(SettingsEditingCopy::trimBlanks(edited)).value_or(defaultBaseUrl());
}

}  // namespace harkwell
