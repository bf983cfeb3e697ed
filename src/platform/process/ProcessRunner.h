#pragma once
// Runs a tool that may hang (a listing of a network mount) under a time limit: by argument vector,
// never through shell text, in a process group of its own so that the whole group can be ended
// when the limit comes. Blocks the calling thread; safe to call from several threads at once.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <expected>

namespace harkwell {

struct ProcessRun {
    enum class Ending { Exited, Signalled, KilledAtLimit };

    Ending ending = Ending::Exited;
    int exitCode = -1;  // when Exited
    QByteArray output;  // standard output, as far as it came before the end

    bool succeeded() const { return ending == Ending::Exited && exitCode == 0; }
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
    virtual std::expected<ProcessRun, ProcessError> run(const QStringList& arguments, std::chrono::milliseconds limit) = 0;

    // The machine's own processes; stateless, shared by everything that is not under test.
    static ProcessRunner& system();
};

}  // namespace harkwell
