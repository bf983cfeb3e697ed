#pragma once
// Files on a remote mount (below the remotesPath setting) are copied to a private temporary
// folder before they are opened, mailed or converted: a desktop program working on the mount
// itself would hang with it. Blocking; run off the main thread.

#include "foundation/FileEntry.h"

#include <QString>

#include <optional>

namespace harkwell {

class RemoteCopy {
public:
    // True when the file's path begins with the expanded remotes folder, as plain text.
    static bool isOnSSHFS(const FileEntry& entry, const std::optional<QString>& remotesPath);
    // Copies the file with `cp` into copyFolder(), under its name in decomposed form; nothing on failure.
    static std::optional<QString> sshfsCopyToTemp(const FileEntry& entry);
    // The copy when the file is remote and copying works, else the file itself.
    static QString localCopyIfNeeded(const FileEntry& entry, const std::optional<QString>& remotesPath);

    // The copy's path, whether or not the copy worked.
    static QString destinationFor(const FileEntry& entry);
    static QString copyFolder();

    // The name of the file in `folder` that `filename` stands for. A mount may spell a letter with
    // an accent in decomposed form where the listing gave it composed (or the other way round): a
    // name that is the same in composed form matches, and so does one where each non-ASCII
    // character of `filename` stands for any single character, as a shell's "?" would.
    static std::optional<QString> findOnMount(const QString& folder, const QString& filename);
};

}  // namespace harkwell
