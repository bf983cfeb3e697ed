#pragma once
// Runs a tool that may hang (a listing of a network mount) under a time limit: by argument vector,
// never through shell text, in a process group of its own so that the whole group can be ended
// when the limit comes. Blocks the calling thread; safe to call from several threads at once.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <expected>
#include <memory>

namespace harkwell {

struct ProcessRun {
    enum class Ending { Exited, Signalled, KilledAtLimit };

    Ending ending = Ending::Exited;
    int exitCode = -1;  // when Exited
    QByteArray output;  // standard output, as far as it came before the end

    // Set when the child was killed at the limit and had still not gone shortly after (stuck in
    // the kernel, as on a frozen mount): true until it is gone.
    std::shared_ptr<const std::atomic<bool>> lingering;

    bool succeeded() const { return ending == Ending::Exited && exitCode == 0; }
    bool stillRunning() const { return lingering && lingering->load(); }
};

struct ProcessOptions {
    QByteArray workingFolder;    // the caller's when empty
    bool captureErrors = false;  // read standard error instead of standard output (which goes to the null device)
};

struct ProcessError {
    QString text;  // user-facing: the program and the system's reason
};

class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;

    // `arguments` begins with the program, looked up on PATH. Standard input and error are the null
    // device. At `limit` the child's whole process group is killed (SIGKILL) and what it printed by
    // then is returned. Fails only when the program cannot be started.
    // Arguments as the system takes them: bytes, so a file name that is not valid UTF-8 gets through.
    virtual std::expected<ProcessRun, ProcessError> run(const QList<QByteArray>& arguments, std::chrono::milliseconds limit,
                                                        const ProcessOptions& options) = 0;
    // Text arguments in the file-name encoding.
    std::expected<ProcessRun, ProcessError> run(const QStringList& arguments, std::chrono::milliseconds limit,
                                                const ProcessOptions& options = {});

    // The machine's own processes; stateless, shared by everything that is not under test.
    static ProcessRunner& system();
};

}  // namespace harkwell
