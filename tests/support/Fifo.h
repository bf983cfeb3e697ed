#pragma once
// A FIFO where a file is expected, and a check that some work does not wait on it: the work runs on
// its own thread, and a reader still blocked in the FIFO after the deadline is let go (a writer
// opens and closes the other end) so the test ends with a failure instead of hanging.

#include <QFile>
#include <QString>
#include <QtConcurrent/QtConcurrentRun>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>

namespace harkwell::test {

inline bool makeFifo(const QString& path) { return ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0; }

// Whether `work` returned within `limit` while nothing ever wrote to `fifo`.
inline bool finishesWithoutWriter(const QString& fifo, const std::function<void()>& work,
                                  std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    QFuture<void> running = QtConcurrent::run(work);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!running.isFinished() && std::chrono::steady_clock::now() < deadline)
        ::usleep(10'000);
    if (running.isFinished())
        return true;
    while (!running.isFinished()) {
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
        ::usleep(10'000);
    }
    return false;
}

}  // namespace harkwell::test
