#pragma once
// Small fixtures shared by the capture tests: audio files made at test time, the log's text, and
// a driver that lets a poll's size re-checks through a manual fake clock.

#include "capture/FolderWatcher.h"
#include "foundation/HarkwellLog.h"
#include "platform/clock/FakeClock.h"
#include "platform/paths/Paths.h"
#include "support/LogFile.h"
#include "support/TestAudio.h"

#include "platform/files/FileNames.h"

#include <QFile>
#include <QTest>

#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harkwell::test {

// A file made under the very bytes of its path (which need not be UTF-8); returns its path as text.
inline QString writeNative(const QByteArray& path, const QByteArray& content, std::optional<QDateTime> modified = std::nullopt)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (::write(fd, content.constData(), size_t(content.size())) != content.size())
            qWarning("short write of a test file");
        if (modified) {
            const qint64 ms = modified->toMSecsSinceEpoch();
            const timespec times[2] = {{time_t(ms / 1000), long(ms % 1000) * 1'000'000}, {time_t(ms / 1000), long(ms % 1000) * 1'000'000}};
            ::futimens(fd, times);
        }
        ::close(fd);
    }
    return FileNames::text(path);
}

inline int requestedPauses(const FakeClock& clock, std::chrono::milliseconds pause)
{
    return int(clock.requestedSleeps().count(pause));
}

// Runs one poll to its end on this thread, moving the manual clock by each size re-check pause the
// poll asks for; other sleeps (the duration probe's limit) are left to the test.
inline std::optional<QList<FolderWatcher::NewCapture>> runPoll(FolderWatcher& watcher, FakeClock& clock)
{
    std::optional<QList<FolderWatcher::NewCapture>> result;
    const std::chrono::milliseconds pause = CaptureGuards::kRecheckPause;
    int letThrough = requestedPauses(clock, pause);
    auto done = watcher.poll().then([&](QList<FolderWatcher::NewCapture> found) { result = std::move(found); });
    (void)QTest::qWaitFor([&] {
        for (; letThrough < requestedPauses(clock, pause); ++letThrough)
            clock.advance(pause);
        return result.has_value();
    }, 10000);
    return result;
}

}  // namespace harkwell::test
