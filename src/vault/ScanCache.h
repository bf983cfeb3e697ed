#pragma once
// The last listings, kept at $XDG_CACHE_HOME/harkwell/scan-cache.json so that the menu shows
// today's and recent files the moment the application starts. Only the file scanner reads and
// writes it; a damaged file is simply replaced by the next save.

#include "foundation/DecodeError.h"
#include "foundation/FileEntry.h"
#include "platform/files/AtomicFile.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>

#include <expected>

namespace harkwell {

struct ScanCache {
    QList<FileEntry> vaultFiles;
    QList<FileEntry> remoteFiles;  // the workspace entries followed by the remote ones
    QDateTime savedAt;

    // "vaultFiles", "remoteFiles" and "savedAt" (seconds since 2001-01-01 UTC), all required.
    QJsonObject toJson() const;
    static std::expected<ScanCache, DecodeError> fromJson(const QJsonObject& object);

    // Compact JSON, replacing the file whole; the folder is created when missing.
    static std::expected<void, FileError> save(const QList<FileEntry>& vault, const QList<FileEntry>& remotes,
                                               const QDateTime& savedAt);
    // Fails when the file is missing, unreadable or not a cache.
    static std::expected<ScanCache, DecodeError> load();
};

}  // namespace harkwell
