#pragma once
// Folders and files named by their bytes, for names that need not be valid UTF-8 (a copy of a file
// listed under such a name keeps it). Blocking; callers keep them off the main thread.

#include <QByteArray>

#include <optional>

namespace harkwell {

class NativeFiles {
public:
    // A new folder inside `parent` whose name is `prefix` and six random characters; mode 0700.
    static std::optional<QByteArray> makeUniqueFolder(const QByteArray& parent, const QByteArray& prefix);
    // Removes `path`, and everything inside when it is a folder; symbolic links are removed, never followed.
    static bool removeAll(const QByteArray& path);
    // The names inside `folder` (not "." and ".."), in the order the file system gives them.
    static std::optional<QList<QByteArray>> entryNames(const QByteArray& folder);
};

}  // namespace harkwell
