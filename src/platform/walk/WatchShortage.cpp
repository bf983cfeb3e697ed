#include "platform/walk/WatchShortage.h"

#include "platform/syslog/SystemLog.h"

#include <cerrno>
#include <sys/inotify.h>

namespace harkwell {

namespace {

int addSystemWatch(int notices, const QByteArray& path)
{
    // IN_MASK_CREATE: a folder already watched through another path keeps its watch as it is.
    const int watch = ::inotify_add_watch(notices, path.constData(), IN_MASK_CREATE | IN_ONLYDIR | IN_DELETE_SELF);
    if (watch >= 0)
        ::inotify_rm_watch(notices, watch);  // only asked to learn whether one could be had
    return watch;
}

}  // namespace

WatchShortage::WatchShortage(AddWatch addWatch, Log log)
    : m_addWatch(addWatch ? std::move(addWatch) : AddWatch(&addSystemWatch)),
      m_log(log ? std::move(log) : Log(&SystemLog::write))
{
}

WatchShortage& WatchShortage::shared()
{
    static WatchShortage* shortage = new WatchShortage;  // listings may still run at exit
    return *shortage;
}

bool WatchShortage::check(const QByteArray& root, WalkMemory& memory)
{
    if (memory.m_notices < 0)
        return false;
    qsizetype watched = 0;
    qsizetype unwatched = 0;
    const QByteArray* first = nullptr;
    for (const auto& [relative, folder] : memory.m_folders) {
        if (folder.watch >= 0) {
            ++watched;
            continue;
        }
        const auto local = memory.m_localDevices.find(folder.device);
        if (folder.device == 0 || local == memory.m_localDevices.end() || !local->second)
            continue;  // not a folder the memory would watch
        ++unwatched;
        if (!first)
            first = &relative;
    }
    if (!first)
        return false;
    const QByteArray path = first->isEmpty() ? root : root + '/' + *first;
    if (m_addWatch(memory.m_notices, path) >= 0 || errno != ENOSPC)
        return false;

    for (auto& [device, local] : memory.m_localDevices)
        local = false;
    if (!m_logged.exchange(true))
        m_log(QStringLiteral("[harkwell] vault scanner: the system's folder watches ran out with %1 folders watched and %2 not; "
                             "those are read again at every refresh. Raise the limit with "
                             "`sysctl fs.inotify.max_user_watches=<more>` and restart Harkwell.")
                  .arg(watched)
                  .arg(unwatched));
    return true;
}

}  // namespace harkwell
