#pragma once
// The last listings, kept in the caches folder so that the menu shows today's and recent files the
// moment the application starts. Only the file scanner reads and writes it; a damaged file is
// simply replaced by the next save. The cache is kept in a compact form (ScanCacheFormat); the JSON
// form of earlier versions is still read, and the next save replaces it.

#include "foundation/DecodeError.h"
#include "foundation/FileEntry.h"
#include "platform/files/AtomicFile.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>

#include <expected>
#include <optional>

namespace harkwell {

struct ScanCache {
    QList<FileEntry> vaultFiles;
    QList<FileEntry> remoteFiles;  // the workspace entries followed by the remote ones
    QDateTime savedAt;
    // What the file holds, ids aside (ScanCacheFormat::Encoded::listingDigest); none when it was
    // read from the JSON form, which the next save is to replace whatever the listing.
    std::optional<quint64> listingDigest;

    // The JSON form: "vaultFiles", "remoteFiles" and "savedAt" (seconds since 2001-01-01 UTC), all required.
    QJsonObject toJson() const;
    static std::expected<ScanCache, DecodeError> fromJson(const QJsonObject& object);

    // The compact file, beside the JSON one (Paths::scanCacheFile()) in the caches folder.
    static QString filePath();

    // Replaces the compact file whole, creating the folder when missing, and then removes the JSON
    // file; writes nothing when the listing's digest equals `unlessDigest` and the file is there.
    // Returns the listing's digest. Runs on a worker thread.
    static std::expected<quint64, FileError> save(const QList<FileEntry>& vault, const QList<FileEntry>& remotes,
                                                  const QDateTime& savedAt,
                                                  std::optional<quint64> unlessDigest = std::nullopt);
    // The compact file, or the JSON one when there is no compact file. Fails when neither is
    // there, or the one read is unreadable or not a cache. Runs on a worker thread.
    static std::expected<ScanCache, DecodeError> load();

private:
    static std::expected<ScanCache, DecodeError> loadJson();
};

}  // namespace harkwell
