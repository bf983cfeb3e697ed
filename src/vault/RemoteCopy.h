#pragma once
// Files on a remote mount (below the remotesPath setting) are copied to a private temporary
// folder before they are opened, mailed or converted: a desktop program working on the mount
// itself would hang with it. Each copy is made by `cp` in a child process killed at a time limit,
// into a folder of its own, on threads of its own: a frozen mount holds up neither the scanner's
// workers nor the quit. Copies of earlier runs of the app are removed at the next start.

#include "foundation/FileEntry.h"
#include "platform/childprocess/ProcessRunner.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <expected>
#include <optional>

class QThreadPool;

namespace harkwell {

class RemoteCopy {
public:
    static constexpr std::chrono::milliseconds kCopyLimit{std::chrono::minutes(2)};

    // True when the file lies below the expanded remotes folder (its path begins with the folder
    // and a "/"; a folder beside it whose name only begins the same is not remote).
    static bool isOnSSHFS(const FileEntry& entry, const std::optional<QString>& remotesPath);
    static bool isBelowRemotes(const QByteArray& path, const std::optional<QString>& remotesPath);

    // Blocking, on a thread of pool(): copies the file into a new folder below copyFolder(), under
    // its name in decomposed form (a name that is not valid UTF-8 keeps its bytes). The copy's
    // path, or a text for the user saying why there is none; nothing is left behind on failure.
    static std::expected<QByteArray, QString> copyToTemp(const FileEntry& entry, ProcessRunner& runner = ProcessRunner::system(),
                                                         std::chrono::milliseconds limit = kCopyLimit);
    // Removes a copy made by copyToTemp() with its folder.
    static void removeCopy(const QByteArray& copy);
    // Removes what earlier runs of the app left in copyFolder(); this run's copies stay.
    static void removeLeftovers();

    static QString copyFolder();
    // The threads copies run on; never waited for when the app quits.
    static QThreadPool& pool();

    // The name in `names` (a folder's listing) that `filename` stands for. A mount may spell a
    // letter with an accent in decomposed form where the listing gave it composed (or the other way
    // round): a name that is the same in composed form matches, and so does one where each
    // non-ASCII character of `filename` stands for any single character, as a shell's "?" would.
    static std::optional<QString> findOnMount(const QStringList& names, const QString& filename);
};

}  // namespace harkwell
