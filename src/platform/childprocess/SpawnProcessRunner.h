#pragma once
// ProcessRunner over posix_spawn, a pipe and a pidfd.

#include "platform/childprocess/ProcessRunner.h"

namespace harkwell {

class SpawnProcessRunner final : public ProcessRunner {
public:
    using ProcessRunner::run;
    std::expected<ProcessRun, ProcessError> run(const QList<QByteArray>& arguments, std::chrono::milliseconds limit,
                                                const ProcessOptions& options) override;
};

}  // namespace harkwell
