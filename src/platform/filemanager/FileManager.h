#pragma once
// The desktop's file manager, as the search panel uses it: showing a file selected in a window of
// its folder, and moving a file to the trash.

#include <QString>

#include <expected>

namespace harkwell {

struct FileManagerError {
    QString text;  // user-facing
};

class FileManager {
public:
    virtual ~FileManager() = default;

    // Returns at once; when no file manager takes the request, the file's folder is opened instead.
    virtual void reveal(const QString& path) = 0;
    virtual std::expected<void, FileManagerError> moveToTrash(const QString& path) = 0;

    // This desktop's, on the session bus.
    static FileManager& system();
};

}  // namespace harkwell
