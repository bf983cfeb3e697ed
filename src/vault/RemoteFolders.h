#pragma once
// The files of the remote mounts: every entry of the remotes folder is a mount, scanned in
// parallel by `find` in a child process under a time limit, so a frozen mount costs seconds, not
// the refresh. Remote files are never stat'ed; their dates come from their names. A blocking call
// for a worker thread that writes only to the system log.

#include "foundation/FileEntry.h"
#include "platform/files/NativeFiles.h"
#include "platform/childprocess/ProcessRunner.h"

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>

#include <chrono>
#include <expected>

namespace harkwell {

class RemoteFolders {
public:
    struct Limits {
        std::chrono::milliseconds probe{2000};  // a plain listing of the mount; longer means frozen
        std::chrono::milliseconds scan{30000};  // the mount's find; killed at the limit, its output so far kept
        std::chrono::milliseconds all{35000};   // the wait for every mount together
    };

    // Files down to five levels below each mount whose own name is not hidden and whose path ends
    // in "." and an included extension, letter case aside. Mounts that have not finished within
    // `limits.all` add nothing, and so do mounts whose last probe or scan is still stuck after its
    // kill (it is not started again until that child has gone). `runner` must outlive the mount scans (each ends within
    // `limits.probe` + `limits.scan`).
    static QList<FileEntry> scan(const QString& remotesFolder, const QSet<QString>& includeExtensions,
                                 ProcessRunner& runner, Limits limits);
    // With the system's processes and the standard limits.
    static QList<FileEntry> scan(const QString& remotesFolder, const QSet<QString>& includeExtensions);

    using FolderItem = NativeFiles::FileItem;
    static constexpr std::chrono::milliseconds kFolderLimit{std::chrono::seconds(5)};
    // The regular files directly inside `folder`, hidden ones left out, listed by `find` in a child
    // process killed at `limit`. A folder that cannot be listed has none; a mount that does not
    // answer in time gives the text saying so.
    static std::expected<QList<FolderItem>, QString> listFolder(const QByteArray& folder, ProcessRunner& runner,
                                                                std::chrono::milliseconds limit = kFolderLimit);

private:
    static QList<FileEntry> scanMount(const QString& remotesFolder, const QString& mount,
                                      const QSet<QString>& includeExtensions, ProcessRunner& runner, Limits limits);
    static FileEntry entryFor(const QByteArray& path, const QString& remotesFolder);
};

}  // namespace harkwell
