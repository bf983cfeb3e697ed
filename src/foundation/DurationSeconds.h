#pragma once
// A duration in seconds as a note's frontmatter carries it: whole seconds, or nothing when the value
// is not a finite number that fits.

#include <optional>

namespace harkwell::DurationSeconds {

// Halves away from zero: the recorder's and the service library's durations.
std::optional<int> rounded(const std::optional<double>& seconds);
// Toward zero: the transcript answer's duration, as the service's own figure is written.
std::optional<int> truncated(const std::optional<double>& seconds);

}  // namespace harkwell::DurationSeconds
