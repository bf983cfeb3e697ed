#pragma once
// Folders and files named by their bytes, for names that need not be valid UTF-8 (a copy of a file
// listed under such a name keeps it). Blocking; callers keep them off the main thread.

#include <QByteArray>
#include <QDateTime>
#include <QList>

#include <optional>

namespace harkwell {

class NativeFiles {
public:
    // A regular file directly inside a folder.
    struct FileItem {
        QByteArray name;  // as the file system spells it
        QDateTime modified;
        QDateTime born;  // invalid where the file system keeps no birth time
        qint64 size = 0;
    };
    // The regular files directly inside `folder` whose names do not begin with "." (symbolic links
    // left out), by name; nothing when the folder cannot be listed.
    static std::optional<QList<FileItem>> regularFiles(const QByteArray& folder);

    // A new folder inside `parent` whose name is `prefix` and six random characters; mode 0700.
    static std::optional<QByteArray> makeUniqueFolder(const QByteArray& parent, const QByteArray& prefix);
    // Removes `path`, and everything inside when it is a folder; symbolic links are removed, never followed.
    static bool removeAll(const QByteArray& path);
    // The names inside `folder` (not "." and ".."), in the order the file system gives them.
    static std::optional<QList<QByteArray>> entryNames(const QByteArray& folder);
};

}  // namespace harkwell
