#pragma once
// The desktop's file manager, as the search panel uses it: showing a file selected in a window of
// its folder, and moving a file to the trash. Files are named by their URLs, which keep every byte
// of a name that is not valid UTF-8.

#include <QString>
#include <QUrl>

#include <expected>

namespace harkwell {

struct FileManagerError {
    QString text;  // user-facing
};

class FileManager {
public:
    virtual ~FileManager() = default;

    // Returns at once; when no file manager takes the request, the file's folder is opened instead.
    virtual void reveal(const QUrl& file) = 0;
    // Blocking: waits on the file's disk. Safe to call from any thread.
    virtual std::expected<void, FileManagerError> moveToTrash(const QUrl& file) = 0;

    // This desktop's, on the session bus.
    static FileManager& system();
};

}  // namespace harkwell
