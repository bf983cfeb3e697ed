#include "platform/defaults/Defaults.h"

#include "platform/files/AtomicFile.h"
#include "platform/identity/Identity.h"
#include "platform/paths/Paths.h"
#include "platform/syslog/SystemLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMutex>

#include <algorithm>
#include <cstdio>

namespace harkwell {

namespace {
// One lock for all domains: read-modify-write of a defaults file must not interleave.
QMutex& defaultsLock()
{
    static QMutex lock;
    return lock;
}

// Exists and does not open as a JSON object (unreadable, truncated, hand-edited into something else).
bool damagedAt(const QString& path)
{
    QFile file(path);
    if (!file.exists())
        return false;
    if (!file.open(QIODevice::ReadOnly))
        return true;
    return !QJsonDocument::fromJson(file.readAll()).isObject();
}

// The years ISO 8601 text holds, in UTC: an offset can carry a stored time over either end, and
// written back in UTC it would no longer read.
QDateTime withinYears1To9999(const QDateTime& time)
{
    static const QDateTime first(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
    static const QDateTime last(QDate(9999, 12, 31), QTime(23, 59, 59, 999), Qt::UTC);
    if (!time.isValid())
        return time;
    return std::clamp(time.toUTC(), first, last);
}
}  // namespace

Defaults::Defaults(QString domain) : m_domain(std::move(domain)) {}

Defaults Defaults::standard() { return Defaults(QString::fromLatin1(identity::kBundleIdentifier)); }

QString Defaults::filePath() const { return Paths::defaultsFile(m_domain); }

QString Defaults::keptAsidePath() const { return filePath() + QStringLiteral(".invalid"); }

bool Defaults::exists() const { return QFileInfo::exists(filePath()); }

bool Defaults::cannotBeOpened() const { return damagedAt(filePath()); }

bool Defaults::keepAsideIfDamaged()
{
    QMutexLocker locker(&defaultsLock());
    return keepAsideLocked();
}

bool Defaults::keepAsideLocked() const
{
    if (!damagedAt(filePath()))
        return false;
    return std::rename(QFile::encodeName(filePath()).constData(), QFile::encodeName(keptAsidePath()).constData()) == 0;
}

QJsonObject Defaults::read() const
{
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

void Defaults::write(const QJsonObject& object) const
{
    // The values a damaged file still holds are read as none; writing over it would lose them for good.
    if (keepAsideLocked())
        SystemLog::write(QStringLiteral("[harkwell] defaults: %1 could not be read; kept it as %2")
                             .arg(QFileInfo(filePath()).fileName(), QFileInfo(keptAsidePath()).fileName()));
    QDir().mkpath(Paths::preferencesFolder());
    (void)AtomicFile::write(filePath(), QJsonDocument(object).toJson(QJsonDocument::Indented));
}

bool Defaults::contains(const QString& key) const
{
    QMutexLocker locker(&defaultsLock());
    return read().contains(key);
}

QJsonValue Defaults::value(const QString& key) const
{
    QMutexLocker locker(&defaultsLock());
    return read().value(key);
}

QJsonObject Defaults::all() const
{
    QMutexLocker locker(&defaultsLock());
    return read();
}

bool Defaults::boolValue(const QString& key, bool fallback) const
{
    const QJsonValue stored = value(key);
    return stored.isBool() ? stored.toBool() : fallback;
}

std::optional<double> Defaults::doubleValue(const QString& key) const
{
    const QJsonValue stored = value(key);
    return stored.isDouble() ? std::optional(stored.toDouble()) : std::nullopt;
}

std::optional<QString> Defaults::stringValue(const QString& key) const
{
    const QJsonValue stored = value(key);
    return stored.isString() ? std::optional(stored.toString()) : std::nullopt;
}

std::optional<QDateTime> Defaults::dateValue(const QString& key) const
{
    const QJsonValue stored = value(key);
    if (!stored.isString())
        return std::nullopt;
    const QDateTime date = QDateTime::fromString(stored.toString(), Qt::ISODateWithMs);
    return date.isValid() ? std::optional(withinYears1To9999(date)) : std::nullopt;
}

void Defaults::setValue(const QString& key, const QJsonValue& value)
{
    QMutexLocker locker(&defaultsLock());
    QJsonObject object = read();
    object.insert(key, value);
    write(object);
}

void Defaults::setDate(const QString& key, const QDateTime& value)
{
    setValue(key, withinYears1To9999(value).toString(Qt::ISODateWithMs));
}

void Defaults::remove(const QString& key)
{
    QMutexLocker locker(&defaultsLock());
    QJsonObject object = read();
    if (!object.contains(key))
        return;
    object.remove(key);
    write(object);
}

void Defaults::removeWithPrefix(const QString& prefix)
{
    QMutexLocker locker(&defaultsLock());
    QJsonObject object = read();
    bool changed = false;
    for (const QString& key : object.keys()) {
        if (key.startsWith(prefix)) {
            object.remove(key);
            changed = true;
        }
    }
    if (changed)
        write(object);
}

void Defaults::removeDomain()
{
    QMutexLocker locker(&defaultsLock());
    QFile::remove(filePath());
}

}  // namespace harkwell
