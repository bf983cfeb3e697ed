#pragma once
// Replaces a file's content so that a crash leaves either the old file or the new one, never a mix:
// a uniquely named temporary file beside the target, written and synced, renamed over the target,
// then the folder synced so the rename itself survives a power cut.

#include <QByteArray>
#include <QString>

#include <expected>
#include <optional>

namespace harkwell {

struct FileError {
    QString text;  // user-facing, names the path and the system's reason
};

class AtomicFile {
public:
    enum class Durability { Synced, Unsynced };

    static std::expected<void, FileError> write(const QString& path, const QByteArray& content,
                                                Durability durability = Durability::Synced);

    // Syncs a folder's entry table; renames and creations inside it are durable afterwards.
    static std::expected<void, FileError> syncFolder(const QString& folder);

    // Removes the temporaries of writes to `path` that a crash or a kill left beside it; returns how
    // many went. Call only where no write to `path` can be under way.
    static int removeLeftovers(const QString& path);

    // Moves a file that could not be read out of the way for a person to look at, as "<path>.invalid",
    // or ".invalid.1", ".invalid.2", … when that is taken: one kept copy never replaces another.
    // Returns the name it now has, or nothing when it could not be moved.
    static std::optional<QString> keepAside(const QString& path);

    // The mode a new file gets: read and write for all, less the process's umask. A file made
    // through a temporary (mkstemp's 0600) is given it by hand.
    static unsigned newFileMode();

    // Writes and syncs a file descriptor's worth of bytes, retrying short writes and EINTR.
    static std::expected<void, FileError> writeAll(int fd, const QByteArray& content, const QString& pathForErrors);
};

}  // namespace harkwell
