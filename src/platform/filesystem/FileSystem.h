#pragma once
// The few questions capture asks of local folders: what a folder holds (one level, hidden entries
// left out, in the order the file system gives), and a file's size and modification time.
// Tests put a fake in its place to deny a listing or make a size change between two reads.
// Names and paths are text as FileNames::text() makes it, so a name that is not UTF-8 keeps its
// bytes and can be asked about again.

#include <QDateTime>
#include <QList>
#include <QString>

#include <expected>
#include <optional>

namespace harkwell {

struct FolderEntry {
    QString name;
    bool isDirectory = false;  // also a symbolic link to a folder
    bool isSymbolicLink = false;
};

struct ListingError {
    int code = 0;  // errno
    QString text;  // the system's description, "Permission denied"

    bool isPermissionDenied() const;
};

struct FileStat {
    qint64 size = 0;
    QDateTime modified;
    bool isDirectory = false;
    bool isRegular = true;  // false for folders, FIFOs, sockets, devices and (from linkStat) links
    bool isSymbolicLink = false;  // only linkStat answers for a link itself
    quint64 device = 0;
    quint64 inode = 0;
    // What tells a file still being written from one at rest.
    bool sameContentAs(const FileStat& other) const { return size == other.size && modified == other.modified; }
    // Whether the name still leads to the same file, not one renamed into its place.
    bool sameFileAs(const FileStat& other) const { return device == other.device && inode == other.inode; }
    bool operator==(const FileStat&) const = default;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual std::expected<QList<FolderEntry>, ListingError> listFolder(const QString& path) = 0;
    // Follows symbolic links; nothing when the item cannot be reached.
    virtual std::optional<FileStat> stat(const QString& path) = 0;
    // As stat(), but a symbolic link answers for itself: what a watched file is, not where it leads.
    virtual std::optional<FileStat> linkStat(const QString& path) = 0;
    virtual bool exists(const QString& path) = 0;
    // 0 when the file opens for reading (a symbolic link is not followed, a FIFO not waited on),
    // else the errno of the refusal.
    virtual int readError(const QString& path) = 0;

    // The machine's own file system.
    static FileSystem& local();
};

}  // namespace harkwell
