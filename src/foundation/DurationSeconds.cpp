#include "foundation/DurationSeconds.h"

#include <cmath>
#include <limits>

namespace harkwell::DurationSeconds {

namespace {
std::optional<int> fitting(double whole)
{
    if (!std::isfinite(whole) || whole < double(std::numeric_limits<int>::min())
        || whole > double(std::numeric_limits<int>::max()))
        return std::nullopt;
    return int(whole);
}
}  // namespace

std::optional<int> rounded(const std::optional<double>& seconds)
{
    return seconds ? fitting(std::round(*seconds)) : std::nullopt;
}

std::optional<int> truncated(const std::optional<double>& seconds)
{
    return seconds ? fitting(std::trunc(*seconds)) : std::nullopt;
}

}  // namespace harkwell::DurationSeconds
