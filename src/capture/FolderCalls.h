#pragma once
// The file system as one watched folder sees it: every call runs on a thread of the folder's own
// and is waited for only until a deadline. A folder on a mount that stopped answering costs the
// poll that finds it out one deadline; from then on its calls fail at once, without touching the
// mount, until the call left hanging returns. The log says both moments once.

#include "platform/filesystem/FileSystem.h"

#include <chrono>
#include <memory>

namespace harkwell {

class FolderCalls final : public FileSystem {
public:
    // `files` must outlive every call that may still hang: the system's file system does.
    FolderCalls(FileSystem& files, QString folderName, std::chrono::milliseconds deadline = kDeadline);
    ~FolderCalls() override;
    FolderCalls(const FolderCalls&) = delete;
    FolderCalls& operator=(const FolderCalls&) = delete;

    // False from a call that missed its deadline until that call returns.
    bool answering() const;

    // Any thread; one call at a time (the coordinator's queue makes them).
    std::expected<QList<FolderEntry>, ListingError> listFolder(const QString& path) override;
    std::optional<FileStat> stat(const QString& path) override;
    std::optional<FileStat> linkStat(const QString& path) override;
    bool exists(const QString& path) override;
    int readError(const QString& path) override;

    static constexpr std::chrono::seconds kDeadline{5};

private:
    struct Worker;
    template <class Result, class Call>
    std::optional<Result> run(const QString& what, Call call);

    std::shared_ptr<Worker> m_worker;  // shared with its thread, which may outlive this object
    FileSystem& m_files;
    const QString m_folderName;
    const std::chrono::milliseconds m_deadline;
};

}  // namespace harkwell
