#include "onboarding/ParallelRuns.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace harkwell::ParallelRuns {

void forEachIndex(qsizetype count, int threads, const std::function<void(qsizetype)>& job)
{
    std::atomic<qsizetype> next{0};
    const auto work = [&] {
        for (qsizetype index = next++; index < count; index = next++)
            job(index);
    };
    std::vector<std::thread> workers;
    const qsizetype started = std::min<qsizetype>(threads, count);
    for (qsizetype i = 0; i < started; ++i)
        workers.emplace_back(work);
    for (std::thread& worker : workers)
        worker.join();
}

}  // namespace harkwell::ParallelRuns
