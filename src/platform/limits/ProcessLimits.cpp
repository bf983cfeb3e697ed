#include "platform/limits/ProcessLimits.h"

#include <algorithm>
#include <thread>

#include <sched.h>
#include <sys/resource.h>

namespace harkwell {

void ProcessLimits::raiseDescriptorLimit()
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

int ProcessLimits::walkDescriptorBudget()
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 512;
    return int(std::clamp<rlim_t>(limit.rlim_cur / 4, 8, 512));
}

int ProcessLimits::usableProcessors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    return std::max(1, int(std::thread::hardware_concurrency()));
}

}  // namespace harkwell
