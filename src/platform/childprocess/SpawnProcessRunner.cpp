#include "platform/childprocess/SpawnProcessRunner.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace harkwell {

ProcessRunner& ProcessRunner::system()
{
    static SpawnProcessRunner runner;
    return runner;
}

std::expected<ProcessRun, ProcessError> ProcessRunner::run(const QStringList& arguments, std::chrono::milliseconds limit,
                                                          const ProcessOptions& options)
{
    QList<QByteArray> encoded;
    encoded.reserve(arguments.size());
    for (const QString& argument : arguments)
        encoded.append(QFile::encodeName(argument));
    return run(encoded, limit, options);
}

namespace {

using Steady = std::chrono::steady_clock;

int remainingMs(Steady::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    return int(std::clamp<long long>(left, 0, 60'000));
}

// Closes the descriptor however the scope is left.
struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// What spawning needs, built and released in one place.
struct SpawnSetup {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};

    SpawnSetup(int outputFd, const ProcessOptions& options)
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        const int captured = options.captureErrors ? STDERR_FILENO : STDOUT_FILENO;
        const int discarded = options.captureErrors ? STDOUT_FILENO : STDERR_FILENO;
        posix_spawn_file_actions_adddup2(&actions, outputFd, captured);
        posix_spawn_file_actions_addopen(&actions, discarded, "/dev/null", O_WRONLY, 0);
        if (!options.workingFolder.isEmpty())
            posix_spawn_file_actions_addchdir_np(&actions, options.workingFolder.constData());

        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setpgroup(&attributes, 0);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        // Ignored signals survive exec; a pipeline in the child must see SIGPIPE again.
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int signal : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2})
            sigaddset(&defaults, signal);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

// Reads what is available without waiting; false once the child closed its end.
bool drainAvailable(int fd, QByteArray& output)
{
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            output.append(buffer, count);
            continue;
        }
        if (count == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// Waits for the child's exit until the deadline; the exit status, or nothing when it still runs.
std::optional<int> awaitExit(pid_t pid, int pidFd, Steady::time_point deadline)
{
    for (;;) {
        int status = 0;
        const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
        if (reaped == pid)
            return status;
        if (reaped < 0 && errno != EINTR)
            return 0;  // already reaped elsewhere: nothing more to learn
        if (Steady::now() >= deadline)
            return std::nullopt;
        if (pidFd >= 0) {
            pollfd exitPoll{pidFd, POLLIN, 0};
            ::poll(&exitPoll, 1, remainingMs(deadline));
        } else {
            ::usleep(5'000);
        }
    }
}

}  // namespace

std::expected<ProcessRun, ProcessError> SpawnProcessRunner::run(const QList<QByteArray>& arguments,
                                                                std::chrono::milliseconds limit, const ProcessOptions& options)
{
    if (arguments.isEmpty())
        return std::unexpected(ProcessError{QStringLiteral("No program was given to run.")});
    const auto deadline = Steady::now() + limit;

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return std::unexpected(ProcessError{QStringLiteral("Could not start %1: %2")
                                                .arg(QFile::decodeName(arguments.first()), QString::fromLocal8Bit(std::strerror(errno)))});
    Fd readEnd{pipeFds[0]};
    Fd writeEnd{pipeFds[1]};

    std::vector<QByteArray> encoded(arguments.cbegin(), arguments.cend());
    std::vector<char*> argv;
    for (QByteArray& argument : encoded)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    int spawnError = 0;
    {
        SpawnSetup setup(writeEnd.fd, options);
        spawnError = ::posix_spawnp(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(), environ);
    }
    ::close(writeEnd.fd);
    writeEnd.fd = -1;
    if (spawnError != 0)
        return std::unexpected(ProcessError{QStringLiteral("Could not start %1: %2")
                                                .arg(QFile::decodeName(arguments.first()), QString::fromLocal8Bit(std::strerror(spawnError)))});

    Fd pidFd{int(::syscall(SYS_pidfd_open, pid, 0))};
    ::fcntl(readEnd.fd, F_SETFL, ::fcntl(readEnd.fd, F_GETFL) | O_NONBLOCK);

    ProcessRun run;
    bool open = true;
    while (open && Steady::now() < deadline) {
        pollfd outputPoll{readEnd.fd, POLLIN, 0};
        const int ready = ::poll(&outputPoll, 1, remainingMs(deadline));
        if (ready > 0)
            open = drainAvailable(readEnd.fd, run.output);
    }

    std::optional<int> status = awaitExit(pid, pidFd.fd, deadline);
    if (!status) {
        // The group goes while its leader is still unreaped, so its id cannot have been reused.
        ::kill(-pid, SIGKILL);
        drainAvailable(readEnd.fd, run.output);
        status = awaitExit(pid, pidFd.fd, Steady::now() + std::chrono::milliseconds(200));
        if (!status) {
            // Stuck in the kernel (a frozen mount): it dies when the call that holds it returns; reap it then.
            auto lingering = std::make_shared<std::atomic<bool>>(true);
            run.lingering = lingering;
            std::thread([pid, lingering] {
                ::waitpid(pid, nullptr, 0);
                lingering->store(false);
            }).detach();
        }
        run.ending = ProcessRun::Ending::KilledAtLimit;
        return run;
    }
    if (WIFEXITED(*status)) {
        run.ending = ProcessRun::Ending::Exited;
        run.exitCode = WEXITSTATUS(*status);
    } else {
        run.ending = ProcessRun::Ending::Signalled;
    }
    return run;
}

}  // namespace harkwell
