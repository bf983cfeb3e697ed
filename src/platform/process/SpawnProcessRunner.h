#pragma once
// ProcessRunner over posix_spawn, a pipe and a pidfd.

#include "platform/process/ProcessRunner.h"

namespace harkwell {

class SpawnProcessRunner final : public ProcessRunner {
public:
    std::expected<ProcessRun, ProcessError> run(const QStringList& arguments, std::chrono::milliseconds limit) override;
};

}  // namespace harkwell
