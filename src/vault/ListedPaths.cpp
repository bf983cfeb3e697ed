#include "vault/ListedPaths.h"

namespace harkwell {

QString ListedPaths::lastComponent(const QString& path)
{
    const QStringList parts = components(path);
    return parts.isEmpty() ? QString() : parts.last();
}

QString ListedPaths::parentName(const QString& path)
{
    const QStringList parts = components(path);
    return parts.size() < 2 ? QString() : parts.at(parts.size() - 2);
}

QStringList ListedPaths::components(const QString& path) { return path.split(QLatin1Char('/'), Qt::SkipEmptyParts); }

}  // namespace harkwell
