#pragma once
// Runs a job once for each index on a few threads of its own, each taking the next index as it
// finishes one, and returns when every run has ended. For the onboarding's child-process searches,
// which wait on their children rather than on the processor.

#include <QtGlobal>

#include <functional>

namespace harkwell::ParallelRuns {

// `job` is called from up to `threads` threads at once, never twice for one index.
void forEachIndex(qsizetype count, int threads, const std::function<void(qsizetype)>& job);

}  // namespace harkwell::ParallelRuns
