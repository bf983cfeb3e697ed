#include "capture/FolderCalls.h"

#include "foundation/HarkwellLog.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include <cerrno>
#include <pthread.h>

namespace harkwell {

// One call at a time, handed from the caller to the folder's thread. The thread holds this state
// alone once the FolderCalls is gone and ends when its last call returns.
struct FolderCalls::Worker {
    std::mutex lock;  // guards every field below
    std::condition_variable changed;
    std::function<void()> call;  // the call waiting for the thread
    bool busy = false;           // a call handed over and not yet returned
    bool hanging = false;        // that call missed its deadline
    bool stopping = false;
    QString folderName;

    void loop()
    {
        ::pthread_setname_np(::pthread_self(), "hw.folder.calls");
        std::unique_lock<std::mutex> locked(lock);
        for (;;) {
            changed.wait(locked, [this] { return stopping || call; });
            if (!call)
                return;  // stopping, and nothing left to run
            std::function<void()> running = std::move(call);
            call = nullptr;
            locked.unlock();
            running();
            running = nullptr;
            locked.lock();
            busy = false;
            if (std::exchange(hanging, false) && !stopping) {
                HarkwellLog::log(QStringLiteral("[harkwell] capture: [") + folderName + QStringLiteral("] answering again"));
            }
            changed.notify_all();
        }
    }
};

FolderCalls::FolderCalls(FileSystem& files, QString folderName, std::chrono::milliseconds deadline)
    : m_worker(std::make_shared<Worker>()), m_files(files), m_folderName(std::move(folderName)), m_deadline(deadline)
{
    m_worker->folderName = m_folderName;
    // Detached: a thread stuck on a dead mount must not hold whoever lets this object go.
    std::thread([worker = m_worker] { worker->loop(); }).detach();
}

FolderCalls::~FolderCalls()
{
    std::lock_guard<std::mutex> locked(m_worker->lock);
    m_worker->stopping = true;
    m_worker->changed.notify_all();
}

bool FolderCalls::answering() const
{
    std::lock_guard<std::mutex> locked(m_worker->lock);
    return !m_worker->hanging;
}

template <class Result, class Call>
std::optional<Result> FolderCalls::run(const QString& what, Call call)
{
    // The answer lives beside the call, so a call that returns after its deadline writes into
    // memory that still exists.
    auto answer = std::make_shared<std::optional<Result>>();
    std::unique_lock<std::mutex> locked(m_worker->lock);
    if (m_worker->busy)
        return std::nullopt;  // the call before is still hanging
    m_worker->busy = true;
    m_worker->call = [answer, call = std::move(call)]() mutable { *answer = call(); };
    m_worker->changed.notify_all();
    if (m_worker->changed.wait_for(locked, m_deadline, [this] { return !m_worker->busy; }))
        return std::move(*answer);
    m_worker->hanging = true;
    HarkwellLog::log(QStringLiteral("[harkwell] capture: [") + m_folderName + QStringLiteral("] not answering: ") + what
                     + QStringLiteral(" took longer than ") + QString::number(m_deadline.count() / 1000.0)
                     + QStringLiteral("s; skipped until it answers"));
    return std::nullopt;
}

std::expected<QList<FolderEntry>, ListingError> FolderCalls::listFolder(const QString& path)
{
    FileSystem* files = &m_files;
    using Listing = std::expected<QList<FolderEntry>, ListingError>;
    if (auto listing = run<Listing>(QStringLiteral("listing ") + path, [files, path] { return files->listFolder(path); }))
        return std::move(*listing);
    return std::unexpected(ListingError{ETIMEDOUT, QStringLiteral("not answering")});
}

std::optional<FileStat> FolderCalls::stat(const QString& path)
{
    FileSystem* files = &m_files;
    return run<std::optional<FileStat>>(QStringLiteral("reading ") + path, [files, path] { return files->stat(path); })
        .value_or(std::nullopt);
}

std::optional<FileStat> FolderCalls::linkStat(const QString& path)
{
    FileSystem* files = &m_files;
    return run<std::optional<FileStat>>(QStringLiteral("reading ") + path, [files, path] { return files->linkStat(path); })
        .value_or(std::nullopt);
}

bool FolderCalls::exists(const QString& path)
{
    FileSystem* files = &m_files;
    return run<bool>(QStringLiteral("looking for ") + path, [files, path] { return files->exists(path); }).value_or(false);
}

int FolderCalls::readError(const QString& path)
{
    FileSystem* files = &m_files;
    return run<int>(QStringLiteral("opening ") + path, [files, path] { return files->readError(path); }).value_or(ETIMEDOUT);
}

}  // namespace harkwell
