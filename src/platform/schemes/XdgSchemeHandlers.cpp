#include "platform/schemes/SchemeHandlers.h"

#include <QStandardPaths>

namespace harkwell {

XdgSchemeHandlers::XdgSchemeHandlers(ProcessRunner& runner, std::chrono::milliseconds limit)
    : m_runner(runner), m_limit(limit)
{
}

bool XdgSchemeHandlers::hasHandler(const QUrl& url) const
{
    const QString scheme = url.scheme().toLower();
    if (scheme.isEmpty())
        return false;
    if (scheme == QLatin1String("file") || scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        return true;
    const QString xdgMime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (xdgMime.isEmpty())
        return false;
    // xdg-mime is a script with children of its own: at the limit the whole group has to go.
    const auto query = m_runner.run(
        {xdgMime, QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("x-scheme-handler/") + scheme}, m_limit);
    return query && query->ending != ProcessRun::Ending::KilledAtLimit && !query->output.trimmed().isEmpty();
}

}  // namespace harkwell
