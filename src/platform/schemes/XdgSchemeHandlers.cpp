#include "platform/schemes/SchemeHandlers.h"

#include <QProcess>
#include <QStandardPaths>

namespace harkwell {

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
    QProcess process;
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(xdgMime, {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("x-scheme-handler/") + scheme});
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return !process.readAllStandardOutput().trimmed().isEmpty();
}

}  // namespace harkwell
