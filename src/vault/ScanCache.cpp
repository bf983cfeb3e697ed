#include "vault/ScanCache.h"

#include "foundation/DateForms.h"
#include "foundation/JsonFields.h"
#include "platform/paths/Paths.h"
#include "vault/ScanCacheFormat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace harkwell {

QJsonObject ScanCache::toJson() const
{
    return QJsonObject{
        {QStringLiteral("vaultFiles"), FileEntry::toJson(vaultFiles)},
        {QStringLiteral("remoteFiles"), FileEntry::toJson(remoteFiles)},
        {QStringLiteral("savedAt"), DateForms::referenceSeconds(savedAt)},
    };
}

std::expected<ScanCache, DecodeError> ScanCache::fromJson(const QJsonObject& object)
{
    JsonFields fields(object);
    const QJsonArray vault = fields.array(QStringLiteral("vaultFiles"));
    const QJsonArray remote = fields.array(QStringLiteral("remoteFiles"));
    const double savedAt = fields.number(QStringLiteral("savedAt"));
    if (!fields.ok())
        return std::unexpected(*fields.error());

    ScanCache cache;
    auto vaultFiles = FileEntry::fromJson(vault);
    if (!vaultFiles)
        return std::unexpected(DecodeError{QStringLiteral("vaultFiles") + vaultFiles.error().text});
    auto remoteFiles = FileEntry::fromJson(remote);
    if (!remoteFiles)
        return std::unexpected(DecodeError{QStringLiteral("remoteFiles") + remoteFiles.error().text});
    cache.vaultFiles = std::move(*vaultFiles);
    cache.remoteFiles = std::move(*remoteFiles);
    cache.savedAt = DateForms::fromReferenceSeconds(savedAt);
    return cache;
}

QString ScanCache::filePath()
{
    const QFileInfo json(Paths::scanCacheFile());
    return json.path() + QLatin1Char('/') + json.completeBaseName() + QStringLiteral(".bin");
}

std::expected<quint64, FileError> ScanCache::save(const QList<FileEntry>& vault, const QList<FileEntry>& remotes,
                                                  const QDateTime& savedAt, std::optional<quint64> unlessDigest)
{
    const QString path = filePath();
    ScanCacheFormat::Encoded encoded = ScanCacheFormat::encode(vault, remotes, savedAt);
    if (unlessDigest == encoded.listingDigest && QFileInfo::exists(path))
        return encoded.listingDigest;
    QDir().mkpath(QFileInfo(path).path());
    // A cache needs no sync: losing the newest one to a power cut only means a slower first menu.
    if (auto written = AtomicFile::write(path, encoded.bytes, AtomicFile::Durability::Unsynced); !written)
        return std::unexpected(written.error());
    QFile::remove(Paths::scanCacheFile());
    return encoded.listingDigest;
}

std::expected<ScanCache, DecodeError> ScanCache::load()
{
    QFile compact(filePath());
    if (compact.open(QIODevice::ReadOnly)) {
        // Read in place: a copy of a large cache would cost as much again in fresh pages.
        if (const qint64 size = compact.size(); size > 0) {
            if (uchar* mapped = compact.map(0, size)) {
                auto decoded = ScanCacheFormat::decode(QByteArrayView(mapped, size));
                compact.unmap(mapped);
                return decoded;
            }
        }
        const QByteArray bytes = compact.readAll();
        if (compact.error() != QFileDevice::NoError)
            return std::unexpected(
                DecodeError{QStringLiteral("The scan cache could not be read: %1").arg(compact.errorString())});
        return ScanCacheFormat::decode(bytes);
    }
    if (compact.exists())
        return std::unexpected(DecodeError{QStringLiteral("The scan cache could not be read: %1").arg(compact.errorString())});
    return loadJson();
}

std::expected<ScanCache, DecodeError> ScanCache::loadJson()
{
    QFile file(Paths::scanCacheFile());
    if (!file.open(QIODevice::ReadOnly))
        return std::unexpected(DecodeError{QStringLiteral("The scan cache could not be read: %1").arg(file.errorString())});
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return std::unexpected(DecodeError{QStringLiteral("The scan cache is not JSON: %1").arg(parseError.errorString())});
    if (!document.isObject())
        return std::unexpected(DecodeError{QStringLiteral("The scan cache is not a JSON object.")});
    return fromJson(document.object());
}

}  // namespace harkwell
