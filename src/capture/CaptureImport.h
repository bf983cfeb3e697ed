#pragma once
// Sends recordings that were already in Voice Memos when capture began: removes their names from
// the seen ledger, so the next poll of the Voice Memos folder takes them as new captures.

#include "capture/CaptureStateStore.h"
#include "foundation/WatchedFolder.h"
#include "platform/filesystem/FileSystem.h"

#include <QDateTime>
#include <QStringList>

#include <expected>
#include <optional>

namespace harkwell {

class CaptureImport {
public:
    struct Failure {
        QString path;
        QString reason;  // the system's description of the listing error
        QString text() const { return QStringLiteral("Cannot read the Voice Memos folder: ") + reason; }
    };
    struct Result {
        QString folderPath;
        int queued = 0;          // every matching recording
        int previouslySeen = 0;  // those whose ledger entry was removed
    };
    struct Recordings {
        WatchedFolder folder;
        QStringList names;  // ascending
    };

    // The Voice Memos recordings from the local day of `since` on (all without it).
    static std::expected<Recordings, Failure> voiceMemosRecordings(const std::optional<QDateTime>& since,
                                                                   FileSystem& files = FileSystem::local());
    // Nothing changes when the folder cannot be listed.
    static std::expected<Result, Failure> queueExisting(const std::optional<QDateTime>& since,
                                                        CaptureStateStore& store = CaptureStateStore::shared(),
                                                        FileSystem& files = FileSystem::local());
};

}  // namespace harkwell
